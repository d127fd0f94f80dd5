// The in-progress marker reader: whatever lies under a marker's name in the
// agent's folder is read without throwing, and a text it accepts is one it
// could have written itself: the marker read back from its own text is the
// same marker.
#include "AgentCommon/RunRecordMarker.h"
#include "FuzzCheck.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    RunRecordMarker marker{"kept", 7, 8, "kept"};
    bool accepted = false;
    try {
        accepted = RunRecordMarker::parse(text, marker);
    } catch (...) {
        FUZZ_CHECK(!"parse threw");
    }
    if (!accepted) {
        FUZZ_CHECK(marker.run == "kept" && marker.pid == 7 && marker.created == 8 && marker.start == "kept");
        return 0;
    }
    FUZZ_CHECK(marker.pid >= 0 && marker.pid <= 0xFFFFFFFFll);
    RunRecordMarker again;
    FUZZ_CHECK(RunRecordMarker::parse(marker.text(), again));
    FUZZ_CHECK(again.run == marker.run && again.pid == marker.pid && again.created == marker.created &&
               again.start == marker.start);
    return 0;
}
