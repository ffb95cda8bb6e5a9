// Damaged copies of a valid patch, for the tests that feed them to every reader: the patcher started
// on them, and ovpatch inspect. Each generator is seeded on its own, so a failing case can be made again
// alone. Needs nothing of the platform.
#pragma once

#include <cctype>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace mutation {

const char kMarker[] = "OVPATCHEND";
constexpr size_t kMarkerSize = 10;

// ---------------------------------------------------------------------------------------------------------
// The valid patch and its landmarks.

struct Layout {
    std::string bytes;
    size_t imageSize = 0;
    size_t archiveSize = 0;
    size_t descriptorSize = 0;

    size_t ArchiveLengthAt() const { return imageSize + archiveSize; }
    size_t DescriptorAt() const { return ArchiveLengthAt() + 4; }
    size_t DescriptorLengthAt() const { return DescriptorAt() + descriptorSize; }
    size_t MarkerAt() const { return DescriptorLengthAt() + 4; }
};

inline void PutU32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline std::string U32Bytes(uint32_t value) {
    std::string bytes(4, '\0');
    PutU32(bytes, 0, value);
    return bytes;
}

// ---------------------------------------------------------------------------------------------------------
// Mutations.

enum class Kind {
    TruncateAnywhere,
    TruncatePayload,
    ArchiveLength,
    DescriptorLength,
    MarkerDamaged,
    MarkerMoved,
    DescriptorRandom,
    DescriptorNested,
    DescriptorUnclosed,
    ByteFlips,
    kCount
};

inline const char* KindName(Kind k) {
    switch (k) {
        case Kind::TruncateAnywhere:
            return "truncated anywhere";
        case Kind::TruncatePayload:
            return "truncated in the payload";
        case Kind::ArchiveLength:
            return "archive length field";
        case Kind::DescriptorLength:
            return "descriptor length field";
        case Kind::MarkerDamaged:
            return "marker damaged";
        case Kind::MarkerMoved:
            return "marker moved";
        case Kind::DescriptorRandom:
            return "descriptor of random bytes";
        case Kind::DescriptorNested:
            return "descriptor of nested tags";
        case Kind::DescriptorUnclosed:
            return "descriptor with unclosed tags";
        case Kind::ByteFlips:
            return "bytes changed in the trailer";
        default:
            return "?";
    }
}

struct Mutant {
    Kind kind;
    std::string note;  // what exactly was done, for a failure message
    std::string bytes;
    bool imageIntact;  // the program image is untouched: the file itself can be started
};

class Mutator {
  public:
    Mutator(const Layout& valid, const std::string& descriptorUtf8, uint64_t seed)
        : valid_(valid), descriptorUtf8_(descriptorUtf8), rng_(seed) {}

    Mutant Make() {
        const Kind kind = static_cast<Kind>(Below(static_cast<uint32_t>(Kind::kCount)));
        Mutant m{kind, "", valid_.bytes, true};
        std::string& b = m.bytes;
        switch (kind) {
            case Kind::TruncateAnywhere: {
                const size_t at = Below(static_cast<uint32_t>(b.size()));
                b.resize(at);
                m.imageIntact = at >= valid_.imageSize;
                m.note = "cut at " + std::to_string(at);
                break;
            }
            case Kind::TruncatePayload: {
                const size_t at = valid_.imageSize + Below(static_cast<uint32_t>(b.size() - valid_.imageSize));
                b.resize(at);
                m.note = "cut at " + std::to_string(at);
                break;
            }
            case Kind::ArchiveLength:
            case Kind::DescriptorLength: {
                const bool archive = kind == Kind::ArchiveLength;
                const size_t at = archive ? valid_.ArchiveLengthAt() : valid_.DescriptorLengthAt();
                const uint32_t real = static_cast<uint32_t>(archive ? valid_.archiveSize : valid_.descriptorSize);
                const uint32_t value = LengthValue(real, static_cast<uint32_t>(b.size()), at);
                PutU32(b, at, value);
                m.note =
                    "set to " + std::to_string(value) + " (signed " + std::to_string(static_cast<int32_t>(value)) + ")";
                break;
            }
            case Kind::MarkerDamaged: {
                const int changes = 1 + static_cast<int>(Below(3));
                for (int i = 0; i < changes; ++i) {
                    const size_t at = valid_.MarkerAt() + Below(kMarkerSize);
                    const char before = b[at];
                    // Half of the time the same letter in the other case: the marker is case-sensitive.
                    b[at] = Below(2) && std::isalpha(static_cast<unsigned char>(before))
                                ? static_cast<char>(before ^ 0x20)
                                : static_cast<char>(before ^ (1 + Below(255)));
                    m.note += "byte " + std::to_string(at - valid_.MarkerAt()) + " ";
                }
                break;
            }
            case Kind::MarkerMoved:
                MoveMarker(m);
                break;
            case Kind::DescriptorRandom: {
                const uint32_t sizes[] = {0, 1, 4, 10, 64, 1000, 5000, 20000};
                const uint32_t size = Below(2) ? sizes[Below(8)] : Below(6000);
                std::string junk(size, '\0');
                for (char& c : junk)
                    c = static_cast<char>(Below(256));
                // Some with a '<' in front, so that the reader finds a tag and goes further.
                if (size > 0 && Below(2))
                    junk[0] = '<';
                ReplaceDescriptor(b, junk);
                m.note = std::to_string(size) + " random bytes";
                break;
            }
            case Kind::DescriptorNested: {
                const std::string text = Nested(m.note);
                ReplaceDescriptor(b, text);
                break;
            }
            case Kind::DescriptorUnclosed: {
                ReplaceDescriptor(b, Unclosed(m.note));
                break;
            }
            case Kind::ByteFlips: {
                const int flips = 1 + static_cast<int>(Below(8));
                const size_t from = valid_.ArchiveLengthAt();
                for (int i = 0; i < flips; ++i) {
                    const size_t at = from + Below(static_cast<uint32_t>(b.size() - from));
                    b[at] = static_cast<char>(b[at] ^ (1 + Below(255)));
                    m.note += std::to_string(at) + " ";
                }
                break;
            }
            default:
                break;
        }
        return m;
    }

  private:
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }

    uint32_t LengthValue(uint32_t real, uint32_t fileSize, size_t fieldAt) {
        switch (Below(9)) {
            case 0:
                return 0;
            case 1:
                return 0xFFFFFFFFu;  // -1
            case 2:
                return 0x80000000u;  // the most negative
            case 3:
                return 0x80000000u + Below(0x7FFFFFFF);  // any negative
            case 4:
                return fileSize + 1 + Below(1000000);  // beyond the file
            case 5:
                return static_cast<uint32_t>(fieldAt) + 1;  // one byte before the file's start
            case 6:
                return static_cast<uint32_t>(fieldAt);  // starts exactly at the file's start
            case 7:
                return real + (Below(2) ? 1u : 0xFFFFFFFFu) * (1 + Below(16));  // a few bytes off
            default:
                return static_cast<uint32_t>(rng_());
        }
    }

    void MoveMarker(Mutant& m) {
        std::string& b = m.bytes;
        switch (Below(5)) {
            case 0: {  // taken away and put back somewhere earlier
                b.erase(valid_.MarkerAt(), kMarkerSize);
                const size_t at = Below(static_cast<uint32_t>(b.size()));
                b.insert(at, kMarker, kMarkerSize);
                m.imageIntact = at >= valid_.imageSize;
                m.note = "moved to " + std::to_string(at);
                break;
            }
            case 1: {  // shifted by a few bytes inside the trailer
                b.erase(valid_.MarkerAt(), kMarkerSize);
                const size_t shift = 1 + Below(12);
                const size_t at = valid_.MarkerAt() >= shift ? valid_.MarkerAt() - shift : 0;
                b.insert(at, kMarker, kMarkerSize);
                m.note = "shifted back by " + std::to_string(shift);
                break;
            }
            case 2: {  // pushed out of the search window by data behind it
                const size_t extra = 10231 + Below(20000);
                b.append(Junk(extra));
                m.note = std::to_string(extra) + " bytes after it";
                break;
            }
            case 3: {  // data behind it that still leaves it inside the window (a signature would)
                const size_t extra = Below(10231);
                b.append(Junk(extra));
                m.note = std::to_string(extra) + " bytes after it (allowed)";
                break;
            }
            default: {  // a second marker behind the real one, with junk before it
                const size_t extra = Below(64);
                b.append(Junk(extra));
                b.append(kMarker, kMarkerSize);
                m.note = "second marker " + std::to_string(extra) + " bytes after the first";
                break;
            }
        }
    }

    std::string Junk(size_t size) {
        std::string junk(size, '\0');
        for (char& c : junk)
            c = static_cast<char>(Below(256));
        return junk;
    }

    // Replaces block 0 and its length field, keeping the chain otherwise sound.
    void ReplaceDescriptor(std::string& b, const std::string& text) {
        std::string tail = text + U32Bytes(static_cast<uint32_t>(text.size())) + kMarker;
        b.resize(valid_.DescriptorAt());
        b += tail;
    }

    std::string Nested(std::string& note) {
        static const char* const names[] = {"ORVPatch", "Strings", "EN", "FR", "UpdateInfo", "a", "PatchVersion"};
        const uint32_t depths[] = {1, 2, 10, 100, 1000, 10000, 50000};
        const uint32_t depth = depths[Below(7)];
        const bool closed = Below(2);
        const bool insideTypical = Below(2);
        std::string open, close;
        std::vector<const char*> chosen;
        for (uint32_t i = 0; i < depth; ++i) {
            chosen.push_back(names[Below(7)]);
            open += std::string("<") + chosen.back() + ">";
        }
        for (auto it = chosen.rbegin(); closed && it != chosen.rend(); ++it)
            close += std::string("</") + *it + ">";
        note = std::to_string(depth) + " levels, " + (closed ? "closed" : "unclosed") +
               (insideTypical ? ", inside the typical descriptor's Strings" : ", alone");
        if (!insideTypical)
            return open + "text" + close;
        std::string typical = descriptorUtf8_;
        const size_t strings = typical.find("<Strings>");
        if (strings != std::string::npos)
            typical.insert(strings + 9, open + close);
        return typical;
    }

    std::string Unclosed(std::string& note) {
        std::string typical = descriptorUtf8_;
        std::vector<size_t> closings;
        for (size_t at = typical.find("</"); at != std::string::npos; at = typical.find("</", at + 2))
            closings.push_back(at);
        switch (Below(3)) {
            case 0: {  // one closing tag gone
                const size_t at = closings[Below(static_cast<uint32_t>(closings.size()))];
                const size_t end = typical.find('>', at);
                note = "removed " + typical.substr(at, end + 1 - at);
                typical.erase(at, end + 1 - at);
                return typical;
            }
            case 1: {  // the document cut short
                const size_t at = Below(static_cast<uint32_t>(typical.size()));
                note = "cut at " + std::to_string(at);
                typical.resize(at);
                return typical;
            }
            default: {  // every closing tag gone
                std::string open;
                for (size_t i = 0; i < typical.size(); ++i) {
                    if (typical.compare(i, 2, "</") == 0) {
                        const size_t end = typical.find('>', i);
                        if (end == std::string::npos)
                            break;
                        i = end;
                        continue;
                    }
                    open += typical[i];
                }
                note = "no closing tag at all";
                return open;
            }
        }
    }

    const Layout& valid_;
    std::string descriptorUtf8_;
    std::mt19937_64 rng_;
};

}  // namespace mutation
