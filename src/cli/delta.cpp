#include "cli/delta.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "install/delta.h"
#include "support/sha256.h"

namespace ovpatch {
namespace {

using Index = int64_t;

Index MatchLength(const uint8_t* a, Index aSize, const uint8_t* b, Index bSize) {
    Index i = 0;
    const Index end = std::min(aSize, bSize);
    while (i < end && a[i] == b[i])
        ++i;
    return i;
}

// The longest prefix of `want` found in `old`, by binary search over its sorted suffixes.
Index LongestMatch(const std::vector<saidx_t>& sorted,
                   const uint8_t* old,
                   Index oldSize,
                   const uint8_t* want,
                   Index wantSize,
                   Index& at) {
    Index low = 0, high = static_cast<Index>(sorted.size()) - 1;
    while (high - low >= 2) {
        const Index middle = low + (high - low) / 2;
        const Index start = sorted[middle];
        if (std::memcmp(old + start, want, static_cast<size_t>(std::min(oldSize - start, wantSize))) < 0)
            low = middle;
        else
            high = middle;
    }
    const Index a = MatchLength(old + sorted[low], oldSize - sorted[low], want, wantSize);
    const Index b = MatchLength(old + sorted[high], oldSize - sorted[high], want, wantSize);
    at = a >= b ? sorted[low] : sorted[high];
    return std::max(a, b);
}

class Writer {
  public:
    void Byte(uint8_t b) { out_ += static_cast<char>(b); }
    void Number(uint64_t value) {
        while (value >= 0x80) {
            Byte(static_cast<uint8_t>(value | 0x80));
            value >>= 7;
        }
        Byte(static_cast<uint8_t>(value));
    }
    void Le64(uint64_t value) {
        for (int i = 0; i < 8; ++i)
            Byte(static_cast<uint8_t>(value >> (8 * i)));
    }
    void Bytes(const void* data, size_t size) { out_.append(static_cast<const char*>(data), size); }
    std::string& text() { return out_; }

  private:
    std::string out_;
};

}  // namespace

std::string MakeDelta(const std::string& oldText, const std::string& newText) {
    const uint8_t* old = reinterpret_cast<const uint8_t*>(oldText.data());
    const uint8_t* now = reinterpret_cast<const uint8_t*>(newText.data());
    const Index oldSize = static_cast<Index>(oldText.size()), newSize = static_cast<Index>(newText.size());

    Writer out;
    out.Bytes(mDelta::kMagic, sizeof mDelta::kMagic);
    out.Le64(oldText.size());
    out.Bytes(mHash::Sha256Of(oldText).data(), 32);
    out.Le64(newText.size());
    out.Bytes(mHash::Sha256Of(newText).data(), 32);

    Index cursor = 0;
    // Emits old[from, from + length) against new[at, at + length): a copy for each run of equal bytes, an add
    // of the differences for each run between them. One long add of mostly zero differences would pack worse
    // (measured: a quarter larger on a program, a third on scattered changes): the archive's compressor cannot
    // reach a zero run across the nonzero byte just before it.
    const auto emitOld = [&](Index from, Index at, Index length) {
        for (Index i = 0; i < length;) {
            const bool same = old[from + i] == now[at + i];
            Index end = i + 1;
            while (end < length && (old[from + end] == now[at + end]) == same)
                ++end;
            out.Byte(same ? mDelta::kCopy : mDelta::kAdd);
            out.Number(static_cast<uint64_t>(end - i));
            const int64_t seek = from + i - cursor;
            out.Number((static_cast<uint64_t>(seek) << 1) ^ static_cast<uint64_t>(seek >> 63));
            for (Index k = i; !same && k < end; ++k)
                out.Byte(static_cast<uint8_t>(now[at + k] - old[from + k]));
            cursor = from + end;
            i = end;
        }
    };
    const auto emitNew = [&](Index at, Index length) {
        if (length == 0)
            return;
        out.Byte(mDelta::kInsert);
        out.Number(static_cast<uint64_t>(length));
        out.Bytes(now + at, static_cast<size_t>(length));
    };

    if (oldSize == 0) {
        emitNew(0, newSize);
        return std::move(out.text());
    }
    std::vector<saidx_t> sorted(static_cast<size_t>(oldSize));
    divsufsort(old, sorted.data(), static_cast<saidx_t>(oldSize));

    // The scan: find the next place where a long match begins that is not merely the current alignment
    // going on, then split the stretch since the last one between the old alignment (extended forwards),
    // new bytes, and the new alignment (extended backwards).
    Index scan = 0, length = 0, position = 0, lastScan = 0, lastPosition = 0, lastOffset = 0;
    while (scan < newSize) {
        Index oldScore = 0;
        for (Index scored = scan += length; scan < newSize; ++scan) {
            length = LongestMatch(sorted, old, oldSize, now + scan, newSize - scan, position);
            for (; scored < scan + length; ++scored)
                if (scored + lastOffset < oldSize && old[scored + lastOffset] == now[scored])
                    ++oldScore;
            if ((length == oldScore && length != 0) || length > oldScore + 8)
                break;
            if (scan + lastOffset < oldSize && old[scan + lastOffset] == now[scan])
                --oldScore;
        }
        if (length == oldScore && scan != newSize)
            continue;
        // How far the last alignment carries forwards: while at least half its bytes agree.
        Index score = 0, best = 0, forward = 0;
        for (Index i = 0; lastScan + i < scan && lastPosition + i < oldSize;) {
            if (old[lastPosition + i] == now[lastScan + i])
                ++score;
            ++i;
            if (score * 2 - i > best * 2 - forward) {
                best = score;
                forward = i;
            }
        }
        // And how far the new one reaches back.
        Index backward = 0;
        if (scan < newSize) {
            score = 0;
            best = 0;
            for (Index i = 1; scan >= lastScan + i && position >= i; ++i) {
                if (old[position - i] == now[scan - i])
                    ++score;
                if (score * 2 - i > best * 2 - backward) {
                    best = score;
                    backward = i;
                }
            }
        }
        if (lastScan + forward > scan - backward) {
            // They overlap: the split goes where the forward one stops being the better.
            const Index overlap = lastScan + forward - (scan - backward);
            score = 0;
            best = 0;
            Index split = 0;
            for (Index i = 0; i < overlap; ++i) {
                if (now[lastScan + forward - overlap + i] == old[lastPosition + forward - overlap + i])
                    ++score;
                if (now[scan - backward + i] == old[position - backward + i])
                    --score;
                if (score > best) {
                    best = score;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }
        emitOld(lastPosition, lastScan, forward);
        emitNew(lastScan + forward, scan - backward - (lastScan + forward));
        lastScan = scan - backward;
        lastPosition = position - backward;
        lastOffset = position - scan;
    }
    return std::move(out.text());
}

}  // namespace ovpatch
