// The log record formatter with hostile texts: a message of any bytes
// (NULs, invalid UTF-8, format-looking text, lines of a mebibyte and more),
// any level and logger identity, a method label taken as the compiler's
// label or as a signature to derive one from, and wide texts of any units
// converted for the log. A statement ended by std::endl must give exactly
// one record (none for a level no client mask can hold) with the seven
// columns and the message byte for byte; one never ended gives none.
#include "AgentCommon/TextConversion.h"
#include "FuzzCheck.h"
#include "Log.h"
#include "Os.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>

namespace {
const size_t kHugeMessageBytes = 1 << 20;

struct RecordCapture : LoggerClient {
    void write(const char* record, size_t length) override { records.emplace_back(record, length); }
    std::vector<std::string> records;
};
RecordCapture* g_capture = nullptr;

// "YYYY-MM-DD hh:mm:ss" and, with fraction digits, "." and that many digits.
bool isTimestamp(const std::string& text, u32 fractionDigits) {
    const std::string shape =
        std::string("dddd-dd-dd dd:dd:dd") +
        (fractionDigits == 0 ? "" : "." + std::string(std::min(fractionDigits, 4u), 'd'));
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd' ? !(text[i] >= '0' && text[i] <= '9') : text[i] != shape[i])
            return false;
    }
    return true;
}

// The length of the UTF-8 sequence that `lead` starts, 0 if none.
size_t sequenceLength(u8 lead) {
    if (lead < 0x80)
        return 1;
    if (lead < 0xC2)
        return 0;
    if (lead < 0xE0)
        return 2;
    if (lead < 0xF0)
        return 3;
    return lead < 0xF5 ? 4 : 0;
}

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool isUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        u8 lead = static_cast<u8>(text[i]);
        size_t length = sequenceLength(lead);
        if (length == 0 || i + length > text.size())
            return false;
        u32 code = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (size_t j = 1; j < length; ++j) {
            u8 next = static_cast<u8>(text[i + j]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        const u32 shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < shortest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_capture = new RecordCapture();
    // Every level but Assert, which ends the process by design.
    Logger::instance()->registerClient(g_capture, ~1u);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const u32 level = in.ConsumeIntegralInRange<u32>(LogFatal, 40);
    const u32 loggerId = in.ConsumeIntegralInRange<u32>(0, 5);
    const u32 fractionDigits = in.ConsumeIntegralInRange<u32>(0, 6);
    const bool fromSignature = in.ConsumeBool();
    const bool huge = in.ConsumeIntegralInRange<u8>(0, 15) == 0;
    const bool ended = in.ConsumeIntegralInRange<u8>(0, 15) != 0;
    const bool wide = in.ConsumeBool();
    // A label is a C string, as the compiler hands it over.
    const std::string label = in.ConsumeRandomLengthString(512).c_str();
    std::string message = in.ConsumeRemainingBytesAsString();

    if (wide) {
        // The message's bytes as wchar_t units of any value, as the agent's
        // wide texts reach the log.
        std::wstring text(message.size() / sizeof(wchar_t), L'\0');
        std::memcpy(&text[0], message.data(), text.size() * sizeof(wchar_t));
        std::string narrow = narrowText(text);
        FUZZ_CHECK(narrow.size() == text.size());
        for (char c : narrow)
            FUZZ_CHECK(static_cast<u8>(c) < 0x80);
        message = utf8Text(text);
        FUZZ_CHECK(isUtf8(message));
    }
    if (huge && !message.empty()) {
        while (message.size() < kHugeMessageBytes)
            message += message;
    }

    const std::string columns = methodColumns(fromSignature ? labelFromSignature(label.c_str()) : label);
    g_capture->records.clear();
    {
        LogItem item(loggerId, level, columns.c_str(), fractionDigits);
        item.stream() << message;
        if (ended)
            item.stream() << std::endl;
    }
    if (!ended || level >= 32) {
        FUZZ_CHECK(g_capture->records.empty());
        return 0;
    }
    FUZZ_CHECK(g_capture->records.size() == 1);
    const std::string& record = g_capture->records[0];
    const std::string tail = std::string(",") + logLevelName(level) + "," +
                             std::to_string(Os::currentThreadId()) + "," + loggerIdName(loggerId) + "," +
                             columns + "," + message + "\n";
    FUZZ_CHECK(record.size() > tail.size() &&
               record.compare(record.size() - tail.size(), tail.size(), tail) == 0);
    FUZZ_CHECK(isTimestamp(record.substr(0, record.size() - tail.size()), fractionDigits));
    return 0;
}
