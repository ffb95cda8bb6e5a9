#include "install/delta_win.h"

#include <windows.h>
// Needs the types windows.h defines.
#include <wincrypt.h>

#include <cstring>

#include "support/file_system_win.h"
#include "support/handles_win.h"

namespace mDelta {
namespace {

struct ProviderTraits {
    static HCRYPTPROV Empty() { return 0; }
    static void Close(HCRYPTPROV h) { ::CryptReleaseContext(h, 0); }
};
struct HashTraits {
    static HCRYPTHASH Empty() { return 0; }
    static void Close(HCRYPTHASH h) { ::CryptDestroyHash(h); }
};

class Sha256 {
  public:
    Sha256() {
        if (CryptAcquireContextW(provider_.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
            CryptCreateHash(provider_.get(), CALG_SHA_256, 0, 0, hash_.put());
        ok_ = static_cast<bool>(hash_);
    }
    void Add(const uint8_t* bytes, size_t size) {
        ok_ = ok_ && CryptHashData(hash_.get(), bytes, static_cast<DWORD>(size), 0);
    }
    bool Finish(uint8_t digest[32]) {
        DWORD size = 32;
        return ok_ && CryptGetHashParam(hash_.get(), HP_HASHVAL, digest, &size, 0) && size == 32;
    }

  private:
    UniqueAny<HCRYPTPROV, ProviderTraits> provider_;
    UniqueAny<HCRYPTHASH, HashTraits> hash_;
    bool ok_ = false;
};

// Read while the suite still runs: a file another program holds open, even for writing, is read all the same;
// whatever it changes meanwhile shows in the hash.
UniqueFile Open(const std::wstring& path, bool write) {
    return UniqueFile(CreateFileW(mGlobal::ApiPath(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                                  write ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  write ? CREATE_ALWAYS : OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// Reads up to `size` bytes at `offset`, or from where the last read ended when `offset` is negative.
int64_t ReadAt(HANDLE file, int64_t offset, uint8_t* buffer, size_t size) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD got = 0;
    if (!ReadFile(file, buffer, static_cast<DWORD>(size), &got, offset < 0 ? nullptr : &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return got;
}

class FileIo final : public Io {
  public:
    FileIo(HANDLE old, HANDLE delta, HANDLE out) : old_(old), delta_(delta), out_(out) {}
    bool ReadOld(uint64_t offset, uint8_t* buffer, size_t size) override {
        return ReadAt(old_, static_cast<int64_t>(offset), buffer, size) == static_cast<int64_t>(size);
    }
    int64_t ReadDelta(uint8_t* buffer, size_t size) override { return ReadAt(delta_, -1, buffer, size); }
    bool WriteNew(const uint8_t* bytes, size_t size) override {
        DWORD written = 0;
        return WriteFile(out_, bytes, static_cast<DWORD>(size), &written, nullptr) && written == size;
    }
    void Hash(const uint8_t* bytes, size_t size) override { hash_.Add(bytes, size); }
    bool HashResult(uint8_t digest[32]) override { return hash_.Finish(digest); }

  private:
    HANDLE old_, delta_, out_;
    Sha256 hash_;
};

}  // namespace

bool FileSha256(const std::wstring& path, uint8_t digest[32]) {
    const UniqueFile file = Open(path, false);
    if (!file)
        return false;
    Sha256 hash;
    uint8_t buffer[16384];
    for (int64_t got; (got = ReadAt(file.get(), -1, buffer, sizeof buffer)) != 0;) {
        if (got < 0)
            return false;
        hash.Add(buffer, static_cast<size_t>(got));
    }
    return hash.Finish(digest);
}

Result RebuildFromDelta(const std::wstring& oldPath, const std::wstring& deltaPath, const std::wstring& outPath) {
    Header header;
    uint8_t head[kHeaderSize];
    uint8_t digest[32];
    {
        const UniqueFile delta = Open(deltaPath, false);
        if (!delta)
            return Result::ReadFailed;
        if (ReadAt(delta.get(), 0, head, sizeof head) != static_cast<int64_t>(sizeof head) ||
            !ReadHeader(head, sizeof head, header))
            return Result::NotADelta;
    }
    if (mGlobal::FileSize(oldPath) != static_cast<int64_t>(header.oldSize))
        return Result::OtherOldFile;
    if (!FileSha256(oldPath, digest))
        return Result::ReadFailed;
    if (std::memcmp(digest, header.oldHash, sizeof digest) != 0)
        return Result::OtherOldFile;
    Result result = Result::WriteFailed;
    // The archive may bring nothing else to the rebuilt file's folder, which the extraction then never made.
    const size_t folder = outPath.find_last_of(L'\\');
    if (folder != std::wstring::npos && !mGlobal::MakePath(outPath.substr(0, folder)))
        return result;
    {
        const UniqueFile old = Open(oldPath, false), delta = Open(deltaPath, false);
        const UniqueFile out = Open(outPath, true);
        if (!old || !delta)
            result = Result::ReadFailed;
        else if (out) {
            FileIo io(old.get(), delta.get(), out.get());
            result = Rebuild(io);
        }
        if (result == Result::Done && !FlushFileBuffers(out.get()))
            result = Result::WriteFailed;
    }
    if (result != Result::Done)
        mGlobal::KillFile(outPath, 0);
    return result;
}

}  // namespace mDelta
