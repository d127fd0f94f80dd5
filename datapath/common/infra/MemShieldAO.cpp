#include "MemShieldAO.h"

bool MemShieldAO::s_forceVerbose = false;

MemShieldAO::MemShieldAO() : ActiveObject("MemShieldAO", &s_forceVerbose) {
    open();
}
