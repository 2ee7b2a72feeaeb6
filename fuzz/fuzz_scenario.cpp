// The scenario loader on any text: it either gives a scenario or one line of error that names the
// text it read, and never reads past what it was given. Data files are left out: a fuzzed path may
// name a device that never ends.
#include "fuzz_common.h"
#include "kxscenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string strText(reinterpret_cast<const char*>(data), size < 65536 ? size : 65536);
    if (strText.find("file") != std::string::npos) {
        return 0;
    }
    std::string strError;
    auto pScenario = kxdev::LoadScenarioText(strText, "f.json", "/nonexistent", &strError);
    FUZZ_CHECK((pScenario != nullptr) == strError.empty());
    FUZZ_CHECK(strError.empty() || (strError.rfind("f.json", 0) == 0 && strError.find('\n') == std::string::npos));
    return 0;
}
