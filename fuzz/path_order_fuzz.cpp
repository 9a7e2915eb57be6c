// Orders arbitrary names in both code pages and merges them into sorted lists.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "disk/path_string.h"
#include "fuzz/fuzz_check.h"

namespace {

// Enough names for ties and reordering; the triple check is cubic.
constexpr size_t kMaxNames = 40;
constexpr size_t kMaxTripleNames = 12;

int Sign(int value) {
    return (value > 0) - (value < 0);
}

// Character codes decoded with the lead-byte test alone: the order the
// comparison must agree with.
std::vector<unsigned> Codes(const std::string& text, LeadByteTest isLeadByte) {
    std::vector<unsigned> codes;
    for (size_t pos = 0; pos < text.size();) {
        unsigned code = static_cast<unsigned char>(text[pos]);
        if (isLeadByte(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size()) {
            code = code * 256 + static_cast<unsigned char>(text[pos + 1]);
            ++pos;
        }
        codes.push_back(code);
        ++pos;
    }
    return codes;
}

int ExpectedOrder(const std::vector<unsigned>& codesA, const std::vector<unsigned>& codesB) {
    if (codesA == codesB)
        return 0;
    return std::lexicographical_compare(codesA.begin(), codesA.end(), codesB.begin(),
                                        codesB.end())
               ? -1
               : 1;
}

int ExpectedOrder(const std::string& a, const std::string& b, LeadByteTest isLeadByte) {
    return ExpectedOrder(Codes(a, isLeadByte), Codes(b, isLeadByte));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    const LeadByteTest isLeadByte =
        provider.ConsumeBool() ? CodePage932LeadByte : NoLeadBytes;
    const size_t listed = provider.ConsumeIntegralInRange<size_t>(0, kMaxNames);
    std::vector<std::string> names;
    while (provider.remaining_bytes() > 0 && names.size() < kMaxNames)
        names.push_back(provider.ConsumeRandomLengthString(64));

    std::vector<std::vector<unsigned>> codes;
    for (const std::string& name : names)
        codes.push_back(Codes(name, isLeadByte));

    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& a = names[i];
        FUZZ_CHECK(CompareCodePage(a, a, isLeadByte) == 0);
        for (size_t j = 0; j < names.size(); ++j) {
            const std::string& b = names[j];
            const int order = Sign(CompareCodePage(a, b, isLeadByte));
            FUZZ_CHECK(order == ExpectedOrder(codes[i], codes[j]));
            FUZZ_CHECK(order == -Sign(CompareCodePage(b, a, isLeadByte)));
            // Decoding is one to one, so only equal bytes compare equal.
            FUZZ_CHECK((order == 0) == (a == b));
            if (isLeadByte == NoLeadBytes)
                FUZZ_CHECK(order == Sign(a.compare(b)));
        }
    }
    const size_t tripleNames = std::min(names.size(), kMaxTripleNames);
    for (size_t i = 0; i < tripleNames; ++i) {
        for (size_t j = 0; j < tripleNames; ++j) {
            for (size_t k = 0; k < tripleNames; ++k) {
                const int ij = CompareCodePage(names[i], names[j], isLeadByte);
                const int jk = CompareCodePage(names[j], names[k], isLeadByte);
                const int ik = CompareCodePage(names[i], names[k], isLeadByte);
                if (ij <= 0 && jk <= 0)
                    FUZZ_CHECK(ik <= 0);
                if (ij == 0 && jk == 0)
                    FUZZ_CHECK(ik == 0);
            }
        }
    }

    // The first names form a list already in order, the others arrive.
    const size_t split = std::min(listed, names.size());
    auto less = [isLeadByte](const std::string& a, const std::string& b) {
        return ExpectedOrder(a, b, isLeadByte) < 0;
    };
    StringList list(names.begin(), names.begin() + split);
    std::stable_sort(list.begin(), list.end(), less);
    const StringList arriving(names.begin() + split, names.end());

    StringList expected = list;
    expected.insert(expected.end(), arriving.begin(), arriving.end());
    std::stable_sort(expected.begin(), expected.end(), less);

    // Equal names are equal bytes, so their order shows only in where each
    // one came from. A moved string longer than the small-string buffer keeps
    // its heap buffer, which identifies it; the shorter ones go unchecked.
    std::map<const char*, size_t> arrival;
    StringList moved = arriving;
    for (size_t i = 0; i < list.size() + moved.size(); ++i) {
        const std::string& name = i < list.size() ? list[i] : moved[i - list.size()];
        const char* object = reinterpret_cast<const char*>(&name);
        if (name.data() < object || name.data() >= object + sizeof name)
            arrival[name.data()] = i;
    }

    InsertSorted(list, std::move(moved), isLeadByte);
    FUZZ_CHECK(list == expected);
    for (size_t i = 1; i < list.size(); ++i) {
        auto before = arrival.find(list[i - 1].data());
        auto after = arrival.find(list[i].data());
        if (list[i - 1] == list[i] && before != arrival.end() && after != arrival.end())
            FUZZ_CHECK(before->second < after->second);
    }

    // One at a time gives the same list as all at once.
    StringList oneByOne;
    for (const std::string& name : names)
        InsertSorted(oneByOne, StringList{name}, isLeadByte);
    FUZZ_CHECK(oneByOne == expected);
    return 0;
}
