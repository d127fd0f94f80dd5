// The consistent-file reader: each input makes the files of a set of two
// slots (a data file and a signature file per slot, either may be missing)
// in a folder of the run's own; the set is then searched and loaded.
// A signature is either the input's own text or the one a writer makes, the
// version and the CRC-32 of the data as written, so that valid copies are
// reached as well as torn ones.
//
// The set is opened before any of its files exist: its constructor ends the
// process by design when files exist without a valid copy, so the
// constructor is run again only on sets with a valid copy or no file.
#include "AssertionWatch.h"
#include "ConsistentFile.h"
#include "Crc32.h"
#include "FuzzCheck.h"
#include "TextLine.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <fuzzer/FuzzedDataProvider.h>
#include <sstream>

namespace {
std::filesystem::path g_folder;
// Written with the infrastructure's separator, which the reader turns into
// the platform's.
std::string g_base;
ConsistentFile* g_set = nullptr;

struct Slot {
    bool data = false;
    bool signature = false;
    bool writerSigned = false;
    u64 version = 0;
    std::string text;
};

void place(const std::string& path, bool present, const std::string& text) {
    if (!present) {
        std::remove(path.c_str());
        return;
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Read back exactly as written: every line ends with "\n" and is short
// enough to be read.
bool readsAsWritten(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos || end - start >= kTextLineBufferSize - 1)
            return false;
        start = end + 1;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    AssertionWatch::install();
    std::string pattern = (std::filesystem::temp_directory_path() / "orvel-consistent-file-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_folder = pattern;
    std::atexit([] { std::filesystem::remove_all(g_folder); });
    g_base = g_folder.string() + "\\set.txt";
    g_set = new ConsistentFile(g_base);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Slot slots[2];
    bool anyFile = false;
    for (i32 i = 0; i < 2; ++i) {
        Slot& slot = slots[i];
        u8 shape = in.ConsumeIntegral<u8>();
        slot.data = (shape & 1) != 0;
        slot.signature = (shape & 2) != 0;
        slot.writerSigned = (shape & 4) != 0;
        slot.version = in.ConsumeIntegral<u8>();
        slot.text = in.ConsumeRandomLengthString(4096);
        std::string signature =
            slot.writerSigned ? std::to_string(slot.version) + "\n" + std::to_string(crc32(slot.text)) + "\n"
                              : in.ConsumeRandomLengthString(64);
        std::string name = (g_folder / "set.txt").string() + "." + std::to_string(i);
        place(name, slot.data, slot.text);
        place(name + ".sig", slot.signature, signature);
        anyFile = anyFile || slot.data || slot.signature;
    }

    i32 latest = -2;
    RcStatus status = g_set->findLatestValidFileIndex(latest);
    FUZZ_CHECK(status == RC_SUCCESS || status == RC_ERROR || status == RC_NOT_FOUND);
    FUZZ_CHECK((status == RC_NOT_FOUND) == !anyFile);
    for (const Slot& slot : slots) {
        // A copy a writer finished is never passed over.
        if (slot.data && slot.signature && slot.writerSigned && slot.version > 0 && readsAsWritten(slot.text))
            FUZZ_CHECK(status == RC_SUCCESS);
    }
    if (status == RC_SUCCESS) {
        FUZZ_CHECK(latest == 0 || latest == 1);
        FUZZ_CHECK(slots[latest].data && slots[latest].signature);
        if (slots[latest].writerSigned)
            FUZZ_CHECK(slots[latest].version > 0 && g_set->nextVersion() == slots[latest].version + 1);
    }

    std::ostringstream out;
    RcStatus loaded = g_set->load(out);
    FUZZ_CHECK(loaded == (status == RC_ERROR ? RC_ERROR : RC_SUCCESS));
    const std::string content = out.str();
    if (status != RC_SUCCESS)
        FUZZ_CHECK(content.empty());
    if (status == RC_SUCCESS) {
        FUZZ_CHECK(content.empty() || content.back() == '\n');
        if (slots[latest].writerSigned)
            FUZZ_CHECK(crc32(content) == crc32(slots[latest].text));
        if (readsAsWritten(slots[latest].text))
            FUZZ_CHECK(content == slots[latest].text);
        FUZZ_CHECK(g_set->nextSlot() == (latest + 1) % 2);
    }
    if (status != RC_ERROR) {
        ConsistentFile reopened(g_base);
        FUZZ_CHECK(reopened.nextSlot() == (status == RC_SUCCESS ? (latest + 1) % 2 : 0));
    }
    return 0;
}
