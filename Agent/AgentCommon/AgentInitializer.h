#pragma once
// Start-up steps of the agent that come before the command line is read.

class AgentInitializer {
public:
    // Registers the agent's tweak defaults; a value from a tweak file wins.
    // The first call loads the tweak store from the working directory.
    static void setTweakDefaults();
};
