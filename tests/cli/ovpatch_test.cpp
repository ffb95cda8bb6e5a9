#include "cli/ovpatch.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <variant>

#include "cli/common.h"
#include "container/patch_container.h"
#include "e2e/harness/patch_mutator.h"
#include "install/delta.h"
#include "maker/descriptor_builder.h"
#include "support/encoding.h"
#include "support/noise.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    int code;
    std::string out, err;
};

Result Ovpatch(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int code = ovpatch::Run(args, out, err);
    return {code, out.str(), err.str()};
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// The smallest Windows program header: "MZ", the offset of the PE header, the PE header's mark.
std::string PeImage(size_t size) {
    std::string image = "MZ" + std::string(size - 2, '\x90');
    image.replace(0x3C, 4, std::string("\x40\0\0\0", 4));
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    return image;
}

// A 7z archive holding a.txt ("a"), as 7-Zip writes it.
const std::string kOneFile7z(
    "\x37\x7A\xBC\xAF\x27\x1C\x00\x04\xE6\xB9\x07\x1E\x01\x00\x00\x00\x00\x00\x00\x00\x36\x00"
    "\x00\x00\x00\x00\x00\x00\xDF\x87\xAA\xAB\x61\x01\x04\x06\x00\x01\x09\x01\x00\x07\x0B\x01"
    "\x00\x01\x01\x00\x0C\x01\x00\x08\x0A\x01\x43\xBE\xB7\xE8\x00\x00\x05\x01\x11\x0D\x00\x61"
    "\x00\x2E\x00\x74\x00\x78\x00\x74\x00\x00\x00\x15\x06\x01\x00\x20\x80\xA4\x81\x00\x00",
    87);
// A valid 7z archive of nothing: the signature header alone.
const std::string kEmpty7z = std::string("7z\xBC\xAF\x27\x1C\x00\x04\x8D\x9B\xD5\x0F", 12) + std::string(20, '\0');

// A folder with an image, an archive and the shipped language file, removed afterwards.
struct Folder {
    fs::path dir = fs::temp_directory_path() / ("ovpatch_test_" + std::to_string(getpid()));
    std::string image = PeImage(3000);
    std::string archive = kOneFile7z;
    Folder() {
        fs::remove_all(dir);
        fs::create_directories(dir / "out");
        Write(dir / "OVPatcher.exe", image);
        Write(dir / "data.7z", archive);
        fs::copy_file(fs::path(OV_SOURCE_DIR) / "src/maker/PatchLang.xml", dir / "PatchLang.xml");
    }
    ~Folder() { fs::remove_all(dir); }
    std::string P(const std::string& name) const { return (dir / name).string(); }
    std::vector<std::string> Build(std::vector<std::string> more) const {
        std::vector<std::string> args = {"build", "--image", P("OVPatcher.exe"), "--archive", P("data.7z"),
                                         "-o",    P("out")};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    size_t OutputCount() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()));
    }
};

std::wstring LangText() {
    return mStringTools::Utf8BytesToText(Read(fs::path(OV_SOURCE_DIR) / "src/maker/PatchLang.xml"));
}

TEST(Ovpatch, BuildsWhatTheMakerBuildsFromASettingsFileAndOptions) {
    Folder f;
    Write(f.dir / "patch.conf",
          "# a comment\nsuite-version = 5.8\npatch-version = 20141114055922\nlang = en\n"
          "update-info = <EN>Fixes:\\n- the menu</EN>\nupdate-info = <FR>Corrections :\\n- le menu \xC3\xA9</FR>\n"
          "run-after = a.exe\nrun-after = b.exe\nforce-menu-restart = no\narchive = data.7z\n");
    const Result r = Ovpatch({"build", "--image", f.P("OVPatcher.exe"), "-o", f.P("out"), "--settings",
                              f.P("patch.conf"), "--force-menu-restart", "--run-after", "c.exe"});
    ASSERT_EQ(r.code, ovpatch::kOk) << r.err;
    const fs::path output = f.dir / "out" / "orv_20141114055922_EN.exe";
    EXPECT_EQ(r.out, output.string() + "\n");
    EXPECT_EQ(r.err, "");  // no sign.bat beside the image, nothing to say

    frmMaker::MakerSettings s;
    s.ORVVersion = L"5.8";
    s.PatchVersion = L"20141114055922";
    s.LangName = L"EN";
    s.UpdateInfo = L"<EN>Fixes:\\n- the menu</EN>\r\n<FR>Corrections :\\n- le menu \u00e9</FR>";
    s.ForceMenuRestart = true;
    s.RunAtEnd = L"c.exe";  // the option replaces the file's list
    EXPECT_TRUE(Read(output) ==
                mGlobal::BuildPatch(f.image, f.archive,
                                    mStringTools::TextToUtf8Bytes(frmMaker::BuildDescriptor(s, LangText()))));
}

// A patch rebuilt from a released one is a new patch: a new identifier, and the released file, and any
// other, is replaced only on request.
TEST(Ovpatch, FromTakesEverySettingButTheIdentifierAndNothingIsReplacedUnlessForced) {
    Folder f;
    Write(f.dir / "sign.bat", "@echo off\r\n");
    const Result released =
        Ovpatch(f.Build({"--suite-version", "5.8", "--patch-version", "20141114055922", "--extract-path", "Tools",
                         "--min-patch", "20141104134857", "--update-info", "<EN>one\\ntwo</EN>", "--run-after", "a.exe",
                         "--run-after", "b.exe", "--force-menu-restart"}));
    ASSERT_EQ(released.code, ovpatch::kOk) << released.err;
    EXPECT_NE(released.err.find("sign.bat is never run"), std::string::npos) << released.err;
    const fs::path old = f.dir / "out" / "orv_20141114055922_FR.exe";
    const std::string oldBytes = Read(old);

    setenv("SOURCE_DATE_EPOCH", "1416000000", 1);  // 2014-11-14 21:20:00 UTC
    const Result again = Ovpatch(f.Build({"--from", old.string(), "--quiet"}));
    unsetenv("SOURCE_DATE_EPOCH");
    ASSERT_EQ(again.code, ovpatch::kOk) << again.err;
    EXPECT_EQ(again.err, "");
    const fs::path rebuilt = f.dir / "out" / "orv_20141114212000_FR.exe";
    EXPECT_EQ(again.out, rebuilt.string() + "\n");
    const Result shown = Ovpatch({"inspect", rebuilt.string()});
    ASSERT_EQ(shown.code, ovpatch::kOk) << shown.err;
    for (const char* line :
         {"archive:     87 bytes at 3000", "  ExtractPath: Tools\n", "  ORVVersion: 5.8\n",
          "  ORVPatchNeeded: 20141104134857\n", "  ForceMenuRestart: 1\n", "  RunAfter: a.exe|b.exe\n",
          // "\n" comes back as a line break, as the window's import reads it.
          "  UpdateInfo: <EN>one\u240D\u240Atwo</EN>\n", "languages:   2", "  FR: 28 messages\n"})
        EXPECT_NE(shown.out.find(line), std::string::npos) << line << "\n" << shown.out;

    // The released identifier again, or the same build twice: refused without --force, replaced with it.
    for (const auto& args : {f.Build({"--from", old.string(), "--patch-version", "20141114055922"}),
                             f.Build({"--from", old.string(), "--patch-version", "20141114212000"})}) {
        const Result r = Ovpatch(args);
        EXPECT_EQ(r.code, ovpatch::kRefused);
        EXPECT_NE(r.err.find("already exists (--force replaces it)"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(Read(old) == oldBytes);
    const Result forced = Ovpatch(f.Build({"--from", old.string(), "--patch-version", "20141114055922", "--force",
                                           "--all-languages", "--force-menu-restart=no"}));
    ASSERT_EQ(forced.code, ovpatch::kOk) << forced.err;
    EXPECT_TRUE(Read(old) == oldBytes);  // a multilingual patch has another name
    EXPECT_EQ(Ovpatch(f.Build({"--from", old.string(), "--patch-version", "20141114055922", "--suite-version", "5.9",
                               "--force=yes"}))
                  .code,
              ovpatch::kOk);
    EXPECT_NE(Read(old).find("<ORVVersion>5.9</ORVVersion>"), std::string::npos);
    EXPECT_EQ(f.OutputCount(), 3u);
}

TEST(Ovpatch, RefusalsAndBadInputHaveTheirOwnCodesAndLeaveNothing) {
    Folder f;
    Write(f.dir / "zip.7z", std::string("PK\x03\x04", 4) + std::string(200, 'z'));
    Write(f.dir / "empty.7z", kEmpty7z);
    std::string damaged = kOneFile7z;
    damaged[20] ^= 1;
    Write(f.dir / "damaged.7z", damaged);
    std::ofstream(f.dir / "huge.7z").close();
    fs::resize_file(f.dir / "huge.7z", (uint64_t{1} << 31) + 1);  // sparse: refused before it is read
    const std::string lang = Read(f.dir / "PatchLang.xml");
    Write(f.dir / "cut.xml", lang.substr(0, lang.find("<CantUpdate>", lang.find("<EN>"))));
    const size_t gap = lang.find("<CantUpdate>", lang.find("<EN>"));
    Write(f.dir / "gap.xml", lang.substr(0, gap) + lang.substr(lang.find("</CantUpdate>", gap) + 13));
    Write(f.dir / "strings.xml", "<messages><Strings></Strings></messages>");
    Write(f.dir / "bad.conf", "suite-version = 5.8\nforce-menu-restart\n");
    Write(f.dir / "blank.conf", "suite-version = 5.8 \n");
    // Headers that read well over data that does not: a stored file whose byte was changed, and data
    // that needs a password.
    Write(f.dir / "a.txt", "a");
    ASSERT_EQ(std::system(("cd '" + f.dir.string() +
                           "' && 7zz a -t7z -m0=Copy -bso0 -bsp0 crc.7z a.txt && 7zz a -t7z -pSecret -bso0 -bsp0 "
                           "secret.7z a.txt")
                              .c_str()),
              0);
    std::string crc = Read(f.dir / "crc.7z");
    crc[32] ^= 1;
    Write(f.dir / "crc.7z", crc);
    const std::vector<std::string> v = {"--suite-version", "5.8"};
    auto with = [&](std::vector<std::string> more) {
        more.insert(more.begin(), v.begin(), v.end());
        return f.Build(more);
    };
    auto archive = [&](const std::string& name) {
        return std::vector<std::string>{"build", "--image",  f.P("OVPatcher.exe"), "--archive", f.P(name),
                                        "-o",    f.P("out"), "--suite-version",    "5.8"};
    };
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;
    } cases[] = {
        {f.Build({}), ovpatch::kUsage, "--suite-version is required"},
        {with({"--lang", "DE"}), ovpatch::kUsage, "not in the language file (FR, EN)"},
        {with({"--patch-version", "50%"}), ovpatch::kUsage, "not a patch identifier of 14 digits"},
        {with({"--min-patch", "2014111405592"}), ovpatch::kUsage, "not a patch identifier of 14 digits"},
        {with({"--patch-version", "20141114055922", "--min-patch", "20141114055923"}), ovpatch::kUsage,
         "newer than the patch itself"},
        {with({"--patch-version", " 20141114055922"}), ovpatch::kUsage, "has a blank at one end"},
        {f.Build({"--settings", f.P("blank.conf")}), ovpatch::kUsage, "suite-version \"5.8 \" has a blank"},
        {f.Build({"--settings", f.P("bad.conf")}), ovpatch::kUsage, "line 2: no \"=\" in \"force-menu-restart\""},
        {with({"--run-after", "cmd /c dir | find \"x\""}), ovpatch::kRefused, "a --run-after entry holds \"|\""},
        {with({"--delete-after", "x</DelAfter><ORVVersion>9.9"}), ovpatch::kRefused,
         "--delete-after holds \"</DelAfter\""},
        {with({"--update-info", "<EN>a</UpdateInfo><RunAfter>x</EN>"}), ovpatch::kRefused,
         "--update-info holds \"</UpdateInfo\""},
        {with({"--langs", f.P("none.xml")}), ovpatch::kUnreadable, "none.xml"},
        {with({"--langs", f.P("cut.xml")}), ovpatch::kRefused, "blank messages; its <messages> element"},
        {with({"--langs", f.P("gap.xml")}), ovpatch::kRefused, "blank messages; EN lacks CantUpdate"},
        {with({"--langs", f.P("strings.xml")}), ovpatch::kRefused, "Strings lacks Title Apply Cancel"},
        {with({"--from", f.P("data.7z")}), ovpatch::kNotAPatch, "is not a patch"},
        {with({"--bogus", "1"}), ovpatch::kUsage, "unknown option --bogus"},
        {archive("zip.7z"), ovpatch::kRefused, "is not a 7z archive"},
        {archive("OVPatcher.exe"), ovpatch::kRefused, "is not a 7z archive"},
        {archive("damaged.7z"), ovpatch::kRefused, "start header's checksum is wrong"},
        {archive("empty.7z"), ovpatch::kRefused, "lists no file"},
        {archive("crc.7z"), ovpatch::kRefused, "CRC Failed : a.txt"},
        {archive("secret.7z"), ovpatch::kRefused, "Wrong password"},
        {archive("huge.7z"), ovpatch::kRefused, "larger than the 2 GiB - 1 byte"},
        {{"build", "--image", f.P("data.7z"), "--archive", f.P("data.7z"), "-o", f.P("out"), "--suite-version", "5.8"},
         ovpatch::kRefused,
         "is not a Windows program"},
        {{"build", "--image", f.P("OVPatcher.exe"), "--archive", f.P("data.7z"), "-o", f.P("missing")},
         ovpatch::kWriteFailed,
         "does not exist"},
        {{"build", "--image", f.P("OVPatcher.exe"), "--archive", f.P("data.7z"), "-o", f.P("data.7z")},
         ovpatch::kUsage,
         "is a file: -o takes the folder"},
        {{"inspect", f.P("data.7z")}, ovpatch::kNotAPatch, "no OVPATCHEND marker"},
        {{"inspect", f.P("missing.exe")}, ovpatch::kUnreadable, "cannot read"},
        {{"frobnicate"}, ovpatch::kUsage, "unknown command"},
    };
    for (const Case& c : cases) {
        const Result r = Ovpatch(c.args);
        EXPECT_EQ(r.code, c.code) << c.says << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    // The output that would be the image, and an empty archive.
    Write(f.dir / "out" / "orv_20141114055922_FR.exe", f.image);
    Result r = Ovpatch({"build", "--image", f.P("out/orv_20141114055922_FR.exe"), "--archive", f.P("data.7z"), "-o",
                        f.P("out"), "--langs", f.P("PatchLang.xml"), "--suite-version", "5.8", "--patch-version",
                        "20141114055922", "--force"});
    EXPECT_EQ(r.code, ovpatch::kRefused);
    EXPECT_NE(r.err.find("is the image itself"), std::string::npos) << r.err;
    Write(f.dir / "data.7z", "");
    r = Ovpatch(f.Build({"--suite-version", "5.8"}));
    EXPECT_EQ(r.code, ovpatch::kRefused);
    EXPECT_NE(r.err.find("the archive is empty"), std::string::npos) << r.err;
    EXPECT_EQ(f.OutputCount(), 1u);  // no partial patch, no temporary file
    EXPECT_EQ(Read(f.dir / "out" / "orv_20141114055922_FR.exe"), f.image);
}

// A build stopped by Ctrl+C or a stop request while it writes leaves no temporary file behind.
TEST(Ovpatch, AnInterruptedBuildOrDiffLeavesNothing) {
    Folder f;
    // A large image (sparse on disk) keeps the child writing long enough to be stopped part-way, and a large
    // file that does not compress keeps 7zz packing.
    Write(f.dir / "big.exe", PeImage(4096));
    fs::resize_file(f.dir / "big.exe", uint64_t{3} << 30);
    fs::create_directories(f.dir / "old");
    fs::create_directories(f.dir / "new");
    {
        std::ofstream noise(f.dir / "new" / "noise.bin", std::ios::binary);
        uint64_t x = 88172645463325252ull;
        for (int i = 0; i < (96 << 20) / 8; ++i) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            noise.write(reinterpret_cast<const char*>(&x), 8);
        }
    }
    const std::vector<std::vector<std::string>> commands = {
        {OVPATCH_EXE, "build", "--image", f.P("big.exe"), "--archive", f.P("data.7z"), "--langs", f.P("PatchLang.xml"),
         "-o", f.P("out"), "--suite-version", "5.8", "--quiet"},
        {OVPATCH_EXE, "diff", f.P("old"), f.P("new"), "--archive", f.P("out/d.7z"), "--settings", f.P("out/d.conf")}};
    for (const auto& args : commands)
        for (const int sig : {SIGINT, SIGTERM}) {
            std::vector<char*> argv;
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            pid_t child = 0;
            ASSERT_EQ(posix_spawn(&child, OVPATCH_EXE, nullptr, nullptr, argv.data(), environ), 0);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (f.OutputCount() == 0 && std::chrono::steady_clock::now() < deadline)
                usleep(200);
            EXPECT_EQ(f.OutputCount(), 1u) << args[1] << " never started writing";
            usleep(100000);
            kill(child, sig);
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << args[1] << ": status " << status;
            EXPECT_EQ(f.OutputCount(), 0u) << args[1] << ", signal " << sig;
        }
}

// A strict reader of JSON, enough to read back what inspect --json prints.
struct Json {
    std::variant<std::nullptr_t, bool, double, std::string, std::vector<Json>, std::map<std::string, Json>> v;
    const Json& operator[](const char* key) const { return std::get<std::map<std::string, Json>>(v).at(key); }
    const Json& operator[](size_t i) const { return std::get<std::vector<Json>>(v).at(i); }
    size_t size() const { return std::get<std::vector<Json>>(v).size(); }
    const std::string& str() const { return std::get<std::string>(v); }
    double num() const { return std::get<double>(v); }
};

class JsonReader {
  public:
    explicit JsonReader(const std::string& text) : t_(text) {}
    Json Document() {
        Json j = Value();
        if (Space() != t_.size())
            Fail("text after the value");
        return j;
    }

  private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error(what + " at " + std::to_string(at_));
    }
    size_t Space() {
        while (at_ < t_.size() && std::strchr(" \t\r\n", t_[at_]))
            ++at_;
        return at_;
    }
    bool Take(char c) {
        if (Space() < t_.size() && t_[at_] == c)
            return ++at_, true;
        return false;
    }
    void Expect(char c) {
        if (!Take(c))
            Fail(std::string("expected ") + c);
    }
    Json Value() {
        if (Take('{')) {
            std::map<std::string, Json> members;
            if (!Take('}')) {
                do {
                    std::string key = String();
                    Expect(':');
                    members[key] = Value();
                } while (Take(','));
                Expect('}');
            }
            return {members};
        }
        if (Take('[')) {
            std::vector<Json> items;
            if (!Take(']')) {
                do
                    items.push_back(Value());
                while (Take(','));
                Expect(']');
            }
            return {items};
        }
        if (Space() < t_.size() && t_[at_] == '"')
            return {String()};
        for (const auto& [word, value] :
             {std::pair<const char*, Json>{"true", {true}}, {"false", {false}}, {"null", {nullptr}}}) {
            if (t_.compare(at_, std::strlen(word), word) == 0)
                return at_ += std::strlen(word), value;
        }
        size_t used = 0;
        const std::string rest = t_.substr(at_);
        if (rest.empty() || !std::strchr("-0123456789", rest[0]))
            Fail("no value");
        const double number = std::stod(rest, &used);
        at_ += used;
        return {number};
    }
    std::string String() {
        Expect('"');
        std::string s;
        for (;;) {
            if (at_ >= t_.size())
                Fail("unended string");
            const char c = t_[at_++];
            if (c == '"')
                return s;
            if (static_cast<unsigned char>(c) < 0x20)
                Fail("control character in a string");
            if (c != '\\') {
                s += c;
                continue;
            }
            const char e = at_ < t_.size() ? t_[at_++] : 0;
            if (e == 'u') {
                const unsigned code = static_cast<unsigned>(std::stoul(t_.substr(at_, 4), nullptr, 16));
                if (code >= 0x80)
                    Fail("only ASCII escapes are expected");
                s += static_cast<char>(code);
                at_ += 4;
            } else if (const char* plain = std::strchr("\"\\/", e); plain && e) {
                s += e;
            } else if (const char* named = std::strchr("bfnrt", e); named && e) {
                s += "\b\f\n\r\t"[named - "bfnrt"];
            } else {
                Fail("bad escape");
            }
        }
    }
    const std::string& t_;
    size_t at_ = 0;
};

TEST(Ovpatch, InspectJsonReadsBackToTheDescriptor) {
    Folder f;
    const Result built = Ovpatch(
        f.Build({"--suite-version", "5.8", "--patch-version", "20141114055922", "--run-after", "a.exe", "--run-after",
                 "b \"c\".exe", "--update-info", "<EN>one\ttwo \\n \x01</EN>", "--update-info", "<FR>\xC3\xA9</FR>"}));
    ASSERT_EQ(built.code, ovpatch::kOk) << built.err;
    const Result r = Ovpatch({"inspect", "--json", "--list", f.P("out/orv_20141114055922_FR.exe")});
    ASSERT_EQ(r.code, ovpatch::kOk) << r.err;
    Json j;
    try {
        j = JsonReader(r.out).Document();
    } catch (const std::exception& e) {
        FAIL() << e.what() << "\n" << r.out;
    }
    EXPECT_EQ(j["schema"].num(), 1);
    EXPECT_EQ(j["archive"]["length"].num(), 87);
    EXPECT_EQ(j["archive"]["offset"].num(), 3000);
    EXPECT_EQ(j["fields"]["UpdateInfo"].str(), "<EN>one\ttwo \\n \x01</EN>\r\n<FR>\xC3\xA9</FR>");
    EXPECT_EQ(j["fields"]["ORVLang"].str(), "FR");
    ASSERT_EQ(j["fields"]["RunAfter"].size(), 2u);
    EXPECT_EQ(j["fields"]["RunAfter"][1].str(), "b \"c\".exe");
    EXPECT_EQ(j["fields"]["DelAfter"].size(), 0u);
    ASSERT_EQ(j["languages"].size(), 2u);
    EXPECT_EQ(j["languages"][1]["name"].str(), "EN");
    EXPECT_EQ(j["languages"][1]["messages"].num(), 28);
    EXPECT_EQ(j["languages"][1]["missing"].size(), 0u);
    ASSERT_EQ(j["files"].size(), 1u);
    EXPECT_EQ(j["files"][size_t{0}]["path"].str(), "a.txt");
    EXPECT_EQ(j["files"][size_t{0}]["size"].num(), 1);

    // A patch whose table lacks a message, as older tools could write it: told in both forms.
    std::wstring lang = LangText();
    const size_t en = lang.find(L"<EN>");
    lang.erase(lang.find(L"<Title>", en), lang.find(L"</Title>", en) + 8 - lang.find(L"<Title>", en));
    frmMaker::MakerSettings s;
    s.ORVVersion = L"5.8";
    s.PatchVersion = L"20141114055922";
    s.LangName = L"FR";
    Write(f.dir / "gap.exe",
          mGlobal::BuildPatch(f.image, f.archive, mStringTools::TextToUtf8Bytes(frmMaker::BuildDescriptor(s, lang))));
    const Json gap = JsonReader(Ovpatch({"inspect", "--json", f.P("gap.exe")}).out).Document();
    ASSERT_EQ(gap["languages"][1]["missing"].size(), 1u);
    EXPECT_EQ(gap["languages"][1]["missing"][size_t{0}].str(), "Title");
    EXPECT_NE(Ovpatch({"inspect", f.P("gap.exe")}).out.find("  EN: 27 messages, missing Title\n"), std::string::npos);
}

// Whatever the damage, inspect ends with a verdict: a valid patch or "not a patch", never a crash (the
// native tests run under the address and undefined-behaviour sanitizers).
TEST(Ovpatch, InspectGivesAVerdictOnEveryDamagedPatch) {
    Folder f;
    frmMaker::MakerSettings s;
    s.ORVVersion = L"5.8";
    s.PatchVersion = L"20141114055922";
    s.LangName = L"FR";
    s.UpdateInfo = L"<EN>one</EN><FR>un</FR>";
    s.RunAtEnd = L"a.exe";
    const std::string descriptor = mStringTools::TextToUtf8Bytes(frmMaker::BuildDescriptor(s, LangText()));
    mutation::Layout valid;
    valid.bytes = mGlobal::BuildPatch(f.image, f.archive, descriptor);
    valid.imageSize = f.image.size();
    valid.archiveSize = f.archive.size();
    valid.descriptorSize = descriptor.size();
    const std::string path = f.P("mutant.exe");
    int refused = 0;
    for (uint64_t i = 0; i < 300; ++i) {
        mutation::Mutator mutator(valid, descriptor, 20141114055922ull * 1000003ull + i);
        const mutation::Mutant m = mutator.Make();
        Write(path, m.bytes);
        const Result r = Ovpatch({"inspect", path});
        const std::string what = std::to_string(i) + ": " + mutation::KindName(m.kind) + ", " + m.note;
        ASSERT_TRUE(r.code == ovpatch::kOk || r.code == ovpatch::kNotAPatch) << what << ": " << r.err;
        if (r.code == ovpatch::kNotAPatch) {
            ++refused;
            EXPECT_NE(r.err.find("is not a valid patch: "), std::string::npos) << what;
        }
        if (m.kind == mutation::Kind::TruncatePayload || m.kind == mutation::Kind::MarkerDamaged) {
            EXPECT_EQ(r.code, ovpatch::kNotAPatch) << what;
        }
    }
    EXPECT_GT(refused, 50);
}

}  // namespace

// Two releases of an installation, a patch made from them, and the plan of that patch on a copy of OLD.
struct Releases : Folder {
    Releases() {
        const auto file = [&](const std::string& tree, const std::string& relative, const std::string& bytes) {
            fs::create_directories((dir / tree / relative).parent_path());
            Write(dir / tree / relative, bytes);
        };
        for (const char* tree : {"old", "new"}) {
            file(tree, "Orvana.exe", "MZ");
            file(tree, "OrvanaTools/Installer/7z.exe", "7z");
            file(tree, "OrvanaTools/Installer/7z.dll", "dll");
            file(tree, "Apps/same.txt", "same");
            file(tree, "Apps/Sub/opt.txt", "optional");
        }
        file("old", "version.txt", "Orvana\r\nbuild 1\r\n5.8\r\n");
        file("old", "OrvanaTools/version.ver", Version("5.8", "20141104134857", "fr"));
        file("old", "Apps/a.txt", "old a");
        file("old", "Docs/Readme.TXT", "read me");
        file("old", "Docs/gone.txt", "gone");
        file("new", "version.txt", "Orvana\r\nbuild 2\r\n5.9\r\n");
        file("new", "OrvanaTools/version.ver", Version("5.9", "20150101000000", "en"));
        file("new", "Apps/a.txt", "new a");
        file("new", "Apps/new.txt", "new");
        file("new", "Apps/opt.txt", "optional");
        file("new", "Docs/readme.txt", "read me");
        fs::copy(dir / "old", dir / "inst", fs::copy_options::recursive);
    }
    void Put(const std::string& tree, const std::string& relative, const std::string& bytes) const {
        fs::create_directories((dir / tree / relative).parent_path());
        Write(dir / tree / relative, bytes);
    }
    static std::string Version(const std::string& version, const std::string& patch, const std::string& lang) {
        return "<OrvanaVersion>\r\n\t<Version>" + version + "</Version>\r\n\t<Lang>" + lang + "</Lang>\r\n\t<Patch>" +
               patch + "</Patch>\r\n</OrvanaVersion>\r\n";
    }
    // Every file under `tree` with its bytes.
    std::map<std::string, std::string> Files(const std::string& tree) const {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(dir / tree))
            if (e.is_regular_file())
                files[fs::relative(e.path(), dir / tree).string()] = Read(e.path());
        return files;
    }
};

TEST(Ovpatch, DiffBuildAndPlanTakeOneReleaseToTheNext) {
    Releases f;
    // The fixture's data.7z stands there: replaced only with --force, as build replaces a patch.
    Result r = Ovpatch({"diff", f.P("old"), f.P("new"), "--archive", f.P("data.7z"), "--settings", f.P("d.conf")});
    EXPECT_EQ(r.code, ovpatch::kRefused);
    EXPECT_NE(r.err.find("data.7z already exists (--force replaces it)"), std::string::npos) << r.err;
    EXPECT_TRUE(Read(f.dir / "data.7z") == kOneFile7z);
    EXPECT_FALSE(fs::exists(f.dir / "d.conf"));
    const std::vector<std::string> diff = {"diff",         f.P("old"),   f.P("new"),    "--archive",
                                           f.P("data.7z"), "--settings", f.P("d.conf"), "--force"};
    r = Ovpatch(diff);
    ASSERT_EQ(r.code, ovpatch::kOk) << r.err;
    EXPECT_EQ(r.err, "");  // done before any progress is due
    const Result diffed = r;
    // A name changed only in letter case is a change; version.ver is never shipped.
    for (const char* line : {"  changed   Apps\\a.txt\n", "  added     Apps\\new.txt\n", "  added     Apps\\opt.txt\n",
                             "  changed   Docs\\readme.txt\n", "  changed   version.txt\n", "  removed   Docs\\gone.txt\n",
                             "added          2 files             11 bytes\n", "removed        1 file               4 bytes\n",
                             "unchanged      5 files"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_EQ(r.out.find("version.ver"), std::string::npos) << r.out;
    // The same, as JSON for a pipeline to read.
    const Result json =
        Ovpatch({"diff", f.P("old"), f.P("new"), "--archive", f.P("j.7z"), "--settings", f.P("j.conf"), "--json"});
    ASSERT_EQ(json.code, ovpatch::kOk) << json.err;
    try {
        const Json j = JsonReader(json.out).Document();
        EXPECT_EQ(j["schema"].num(), 1);
        ASSERT_EQ(j["changes"].size(), 6u);
        EXPECT_EQ(j["changes"][size_t{0}]["path"].str(), "Apps\\a.txt");
        EXPECT_EQ(j["changes"][size_t{0}]["change"].str(), "changed");
        EXPECT_EQ(j["changes"][5]["path"].str(), "Docs\\gone.txt");
        EXPECT_EQ(j["changes"][5]["change"].str(), "removed");
        EXPECT_EQ(j["summary"]["added"]["files"].num(), 2);
        EXPECT_EQ(j["summary"]["added"]["bytes"].num(), 11);
        EXPECT_EQ(j["summary"]["unchanged"]["files"].num(), 5);
        EXPECT_EQ(j["settings"].str(), f.P("j.conf"));
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << "\n" << json.out;
    }
    const std::string settings = Read(f.dir / "d.conf");
    EXPECT_NE(settings.find("\nsuite-version = 5.9\nmin-patch = 20141104134857\ndelete-after = %ORV%\\Docs\\gone.txt\n"),
              std::string::npos)
        << settings;

    // From the written archive and settings, and straight from the two folders: the same patch.
    const std::vector<std::string> common = {"--patch-version", "20150101000000", "--lang", "FR", "--all-languages",
                                             "--file-flag",     "ifexists;opt.txt", "--run-after",
                                             "\"%ORV%\\Apps\\new.txt\" %LNG% %TMPFLD%"};
    std::vector<std::string> args = f.Build({"--settings", f.P("d.conf")});
    args.insert(args.end(), common.begin(), common.end());
    ASSERT_EQ((r = Ovpatch(args)).code, ovpatch::kOk) << r.err;
    const fs::path patch = f.dir / "out" / "orv_20150101000000_MultiLng.exe";
    const std::string fromFiles = Read(patch);
    args = {"build", "--image", f.P("OVPatcher.exe"), "--old", f.P("old"), "--new", f.P("new"), "-o", f.P("out"), "--force"};
    args.insert(args.end(), common.begin(), common.end());
    ASSERT_EQ((r = Ovpatch(args)).code, ovpatch::kOk) << r.err;
    EXPECT_TRUE(Read(patch) == fromFiles);

    // The maintainer's own delete-after line, as an option or in a settings file, joins what diff found.
    Write(f.dir / "extra.conf", "delete-after = %ORV%\\cache\\index.dat\n");
    for (const std::vector<std::string>& own : {std::vector<std::string>{"--delete-after", "%ORV%\\cache\\index.dat"},
                                                std::vector<std::string>{"--settings", f.P("extra.conf")}}) {
        args = {"build",          "--image", f.P("OVPatcher.exe"), "--old",   f.P("old"),        "--new",
                f.P("new"),       "-o",      f.P("out"),           "--force", "--patch-version", "20150101000001",
                "--all-languages"};
        args.insert(args.end(), own.begin(), own.end());
        ASSERT_EQ((r = Ovpatch(args)).code, ovpatch::kOk) << r.err;
        EXPECT_NE(r.err.find("delete-after: 1 line from the releases and 1 given\n"), std::string::npos) << r.err;
        const Result shown = Ovpatch({"inspect", f.P("out/orv_20150101000001_MultiLng.exe")});
        EXPECT_NE(shown.out.find("  DelAfter: %ORV%\\Docs\\gone.txt|%ORV%\\cache\\index.dat\n"), std::string::npos)
            << own[0] << "\n"
            << shown.out;
    }
    fs::remove(f.dir / "out" / "orv_20150101000001_MultiLng.exe");
    // An extraction folder would put NEW's tree under it, while the deletes stay at the root.
    args = {"build",    "--image", f.P("OVPatcher.exe"), "--old", f.P("old"),       "--new", f.P("new"), "-o",
            f.P("out"), "--force", "--suite-version",    "5.9",   "--extract-path", "Tools"};
    EXPECT_EQ((r = Ovpatch(args)).code, ovpatch::kUsage);
    EXPECT_NE(r.err.find("--extract-path"), std::string::npos) << r.err;

    // The plan on a copy of OLD says exactly those changes. "opt.txt" is flagged ifexists and missing at the
    // root, so the archiver leaves out every "opt.txt" (it matches the list recursively), also the one in Apps.
    const auto before = f.Files("inst");
    r = Ovpatch({"plan", patch.string(), f.P("inst"), "--windows-path", "E:\\Orvana \u00e9t\u00e9\\"});
    ASSERT_EQ(r.code, ovpatch::kOk) << r.err;
    for (const char* line : {"fits:      yes\n", "  replaced   Apps\\a.txt\n", "  added      Apps\\new.txt\n",
                             "  excluded   Apps\\opt.txt\n", "  replaced   Docs\\readme.txt\n",
                             "  replaced   version.txt\n",
                             "  1 added, 3 replaced, 0 unchanged, 0 ifexists, 1 excluded, 0 blocked\n",
                             "  E:\\Orvana \u00e9t\u00e9\\Docs\\gone.txt  (exists)\n",
                             "  \"E:\\Orvana \u00e9t\u00e9\\Apps\\new.txt\"  %TMPFLD%\n",
                             "record before:\n  <OrvanaVersion>\n  \t<Version>5.8</Version>\n  \t<Lang>fr</Lang>\n  "
                             "\t<Patch>20141104134857</Patch>\n  </OrvanaVersion>\nrecord after:\n  <OrvanaVersion>\n"
                             "  \t<Version>5.9</Version>\n  \t<Lang>fr</Lang>\n  \t<Patch>20150101000000</Patch>\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    // The root's opt.txt present: it is extracted, and the flag's own file is the one skipped when missing.
    Write(f.dir / "inst" / "opt.txt", "x");
    r = Ovpatch({"plan", patch.string(), f.P("inst"), "--json"});
    EXPECT_EQ(r.out.rfind("{\"schema\": 1, ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("{\"path\": \"Apps\\\\opt.txt\", \"action\": \"added\"}"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"run\": [\"\\\"%ORV%\\\\Apps\\\\new.txt\\\"  %TMPFLD%\"]"), std::string::npos) << r.out;
    fs::remove(f.dir / "inst" / "opt.txt");
    EXPECT_EQ(f.Files("inst"), before);  // the plan wrote nothing

    // With no wait every step is told, on standard error alone; --quiet tells nothing.
    const std::vector<std::string> plan = {"plan", patch.string(), f.P("inst")};
    const Result planned = Ovpatch(plan);
    EXPECT_EQ(planned.err, "");
    setenv("OVPATCH_PROGRESS_SECONDS", "0", 1);
    std::vector<std::string> quiet = diff;
    quiet.push_back("--quiet");
    const Result told = Ovpatch(diff), hushed = Ovpatch(quiet);
    const Result toldPlan = Ovpatch(plan);
    quiet = plan;
    quiet.push_back("--quiet");
    const Result hushedPlan = Ovpatch(quiet);
    unsetenv("OVPATCH_PROGRESS_SECONDS");
    EXPECT_EQ(told.out, diffed.out);
    EXPECT_NE(told.err.find("diff: 1 of 11 files compared\ndiff: 2 of 11"), std::string::npos) << told.err;
    EXPECT_NE(told.err.find("diff: 11 of 11 files compared\n"), std::string::npos) << told.err;
    EXPECT_EQ(toldPlan.out, planned.out);
    EXPECT_NE(toldPlan.err.find("plan: unpacking 45 bytes of files into "), std::string::npos) << toldPlan.err;
    EXPECT_NE(toldPlan.err.find("plan: 5 of 5 files compared\n"), std::string::npos) << toldPlan.err;
    EXPECT_EQ(hushed.out, diffed.out);
    EXPECT_EQ(hushed.err + hushedPlan.err, "");
    EXPECT_EQ(hushedPlan.out, planned.out);

    // Nothing to ship, and no archiver on the PATH.
    r = Ovpatch({"diff", f.P("old"), f.P("old"), "--archive", f.P("none.7z"), "--settings", f.P("none.conf")});
    EXPECT_EQ(r.code, ovpatch::kNothingToShip);
    EXPECT_NE(r.err.find("nothing changed"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(f.dir / "none.7z") || fs::exists(f.dir / "none.conf"));
    const std::string path = std::getenv("PATH");
    setenv("PATH", f.P("out").c_str(), 1);
    r = Ovpatch({"diff", f.P("old"), f.P("new"), "--archive", f.P("none.7z"), "--settings", f.P("none.conf")});
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(r.code, ovpatch::kToolMissing);
    EXPECT_NE(r.err.find("apt-get install 7zip"), std::string::npos) << r.err;
}

// A program changed in a few places travels as its delta; plan checks the installed copy the delta needs.
TEST(Ovpatch, DeltasTravelInPlaceOfChangedProgramsAndPlanChecksTheInstalledCopy) {
    Releases f;
    const std::string program = testdata::Noise(200000);
    std::string fixed = program;
    for (size_t i = 5000; i < fixed.size(); i += 20011)
        fixed[i] = static_cast<char>(fixed[i] ^ 0x5A);
    f.Put("old", "Apps/prog.exe", program);
    f.Put("new", "Apps/prog.exe", fixed);
    f.Put("old", "Apps/data.bin", program.substr(0, 50000));
    f.Put("new", "Apps/data.bin", program.substr(100000, 50000));  // unrelated: a delta would not pay
    f.Put("inst", "Apps/prog.exe", program);
    f.Put("inst", "Apps/data.bin", program.substr(0, 50000));

    Result r = Ovpatch(
        {"diff", f.P("old"), f.P("new"), "--archive", f.P("d.7z"), "--settings", f.P("d.conf"), "--delta", "--json"});
    ASSERT_EQ(r.code, ovpatch::kOk) << r.err;
    try {
        const Json j = JsonReader(r.out).Document();
        std::map<std::string, const Json*> byPath;
        for (size_t i = 0; i < j["changes"].size(); ++i)
            byPath[j["changes"][i]["path"].str()] = &j["changes"][i];
        const Json& prog = *byPath.at("Apps\\prog.exe");
        EXPECT_EQ(prog["travels"].str(), "delta");
        EXPECT_LT(prog["packedDelta"].num() * 10, prog["packedWhole"].num());
        EXPECT_EQ((*byPath.at("Apps\\data.bin"))["travels"].str(), "whole");
        EXPECT_GT((*byPath.at("Apps\\data.bin"))["packedDelta"].num(), 0);
        EXPECT_EQ((*byPath.at("Apps\\a.txt"))["travels"].str(), "whole");  // too small for a delta
        EXPECT_EQ((std::get<std::map<std::string, Json>>(byPath.at("Apps\\new.txt")->v).count("travels")),
                  0u);  // added: always whole
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << "\n" << r.out;
    }
    // The archive holds the delta in the file's place, and the delta rebuilds NEW's file from OLD's.
    const auto listed = ovpatch::ListArchive(f.P("d.7z"));
    ASSERT_TRUE(listed);
    std::set<std::string> paths;
    for (const ovpatch::ArchiveEntry& e : *listed)
        paths.insert(e.path);
    EXPECT_TRUE(paths.count("OVPatcher.tmp/delta/Apps/prog.exe") && paths.count("Apps/data.bin") &&
                !paths.count("Apps/prog.exe") && !paths.count("OVPatcher.tmp/delta/Apps/data.bin"));
    fs::create_directories(f.dir / "x");
    int status = 0;
    ovpatch::RunCaptured({"7zz", "x", "-y", "-o" + f.P("x"), f.P("d.7z")}, status);
    std::string rebuilt;
    EXPECT_EQ(mDelta::RebuildBytes(program, Read(f.dir / "x/OVPatcher.tmp/delta/Apps/prog.exe"), rebuilt),
              mDelta::Result::Done);
    EXPECT_TRUE(rebuilt == fixed);
    // The text says how each changed file travels.
    r = Ovpatch({"diff", f.P("old"), f.P("new"), "--archive", f.P("t.7z"), "--settings", f.P("t.conf"), "--delta"});
    EXPECT_NE(r.out.find("  changed   Apps\\prog.exe  (delta: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  changed   Apps\\a.txt  (whole: smaller than 4,096 bytes)\n"), std::string::npos) << r.out;

    const std::vector<std::string> build = {"build",
                                            "--image",
                                            f.P("OVPatcher.exe"),
                                            "--old",
                                            f.P("old"),
                                            "--new",
                                            f.P("new"),
                                            "-o",
                                            f.P("out"),
                                            "--force",
                                            "--quiet",
                                            "--patch-version",
                                            "20150101000000",
                                            "--all-languages",
                                            "--delta"};
    ASSERT_EQ((r = Ovpatch(build)).code, ovpatch::kOk) << r.err;
    const std::string patch = f.P("out/orv_20150101000000_MultiLng.exe");
    r = Ovpatch({"inspect", "--list", patch});
    EXPECT_NE(r.out.find("  OVPatcher.tmp/delta/Apps/prog.exe  ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" bytes, delta of Apps/prog.exe)\n"), std::string::npos) << r.out;
    r = Ovpatch({"inspect", "--list", "--json", patch});
    EXPECT_NE(r.out.find("\"deltaOf\": \"Apps/prog.exe\""), std::string::npos) << r.out;

    // The installed copy is OLD's: the plan patches it. Edited: the patcher would refuse, naming the file.
    r = Ovpatch({"plan", patch, f.P("inst")});
    EXPECT_EQ(r.code, ovpatch::kOk) << r.out << r.err;
    EXPECT_NE(r.out.find("  patched (delta) Apps\\prog.exe\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" 0 blocked, 1 patched (delta)\n"), std::string::npos) << r.out;
    std::string edited = program;
    edited[7] = 'x';
    Write(f.dir / "inst/Apps/prog.exe", edited);
    r = Ovpatch({"plan", patch, f.P("inst")});
    EXPECT_EQ(r.code, ovpatch::kNotAPatch) << r.out;
    EXPECT_NE(r.out.find("refused:   CantUpdate: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("because:   %ORV%\\Apps\\prog.exe: the installed file is not the one the delta was made from"),
              std::string::npos)
        << r.out;
    fs::remove(f.dir / "inst/Apps/prog.exe");
    r = Ovpatch({"plan", patch, f.P("inst"), "--json"});
    EXPECT_EQ(r.code, ovpatch::kNotAPatch) << r.out;
    EXPECT_NE(r.out.find("the file the delta rebuilds is missing"), std::string::npos) << r.out;
    // With the whole file kept as a fallback, it replaces the copy that is not OLD's.
    Write(f.dir / "inst/Apps/prog.exe", edited);
    std::vector<std::string> fallback = build;
    fallback.push_back("--keep-whole");
    ASSERT_EQ((r = Ovpatch(fallback)).code, ovpatch::kOk) << r.err;
    r = Ovpatch({"plan", patch, f.P("inst")});
    EXPECT_EQ(r.code, ovpatch::kOk) << r.out;
    EXPECT_NE(r.out.find("  replaced (whole) Apps\\prog.exe\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("  replaced   Apps\\prog.exe\n"), std::string::npos) << r.out;  // told once
    EXPECT_EQ(
        Ovpatch({"diff", f.P("old"), f.P("new"), "--archive", f.P("k.7z"), "--settings", f.P("k.conf"), "--keep-whole"})
            .code,
        ovpatch::kUsage);
}

// Release pairs that a Windows installation or the patcher could not take as they are, and folders that
// only an archive entry of their own can bring.
TEST(Ovpatch, DiffShipsOnlyWhatAnInstallationCanHold) {
    struct Row {
        const char* name;
        std::function<void(const Releases&)> change;
        int code;
        std::vector<std::string> says, lacks;
        std::vector<std::string> listed;  // archive entries, folders ending in "/"
        std::vector<std::string> more = {};
    } rows[] = {
        {"a downgrade",
         [](const Releases& f) { f.Put("new", "version.txt", "Orvana\r\nbuild 0\r\n5.7.9\r\n"); },
         ovpatch::kRefused,
         {"NEW's suite version 5.7.9 is older than OLD's 5.8"},
         {},
         {}},
        {"a downgrade allowed",
         [](const Releases& f) { f.Put("new", "version.txt", "Orvana\r\nbuild 0\r\n5.7\r\n"); },
         ovpatch::kOk,
         {"  changed   version.txt\n"},
         {},
         {},
         {"--allow-downgrade"}},
        {"a newer version by number",
         [](const Releases& f) { f.Put("new", "version.txt", "Orvana\r\nbuild 0\r\n5.10\r\n"); },
         ovpatch::kOk,
         {"  changed   version.txt\n"},
         {},
         {}},
        {"a removed name holding a placeholder",
         [](const Releases& f) { f.Put("old", "Help/index%LNG%.html", "x"); },
         ovpatch::kRefused,
         {"OLD Help/index%LNG%.html holds %LNG%"},
         {},
         {}},
        {"a folder holding a placeholder",
         [](const Releases& f) { f.Put("new", "Tools/%TMPFLD%/a.txt", "x"); },
         ovpatch::kRefused,
         {"NEW Tools/%TMPFLD% holds %TMPFLD%"},
         {},
         {}},
        {"%ORV% in a file name",
         [](const Releases& f) { f.Put("new", "Apps/x%ORV%.txt", "x"); },
         ovpatch::kRefused,
         {"holds %ORV%"},
         {},
         {}},
        {"a file and a folder differing in case",
         [](const Releases& f) {
             f.Put("new", "Data", "x");
             f.Put("new", "DATA/x.txt", "y");
         },
         ovpatch::kRefused,
         {"differ only in letter case"},
         {},
         {}},
        {"two folders differing in case",
         [](const Releases& f) { f.Put("new", "APPS/b.txt", "b"); },
         ovpatch::kRefused,
         {"differ only in letter case"},
         {},
         {}},
        {"a folder renamed in case only",
         [](const Releases& f) { fs::rename(f.dir / "new/Apps/Sub", f.dir / "new/Apps/SUB"); },
         ovpatch::kOk,
         {"  kept      Apps\\Sub\\  (NEW spells it Apps\\SUB\\"},
         {"Apps\\SUB\\opt.txt"},
         {}},
        {"a new empty folder",
         [](const Releases& f) { fs::create_directories(f.dir / "new/Logs/Empty"); },
         ovpatch::kOk,
         {"  added     Logs\\Empty\\\n"},
         {},
         {"Logs/Empty/", "Apps/new.txt"}},
        {"a file replaced by an empty folder",
         [](const Releases& f) {
             fs::remove(f.dir / "new/Apps/same.txt");
             fs::create_directories(f.dir / "new/Apps/same.txt");
         },
         ovpatch::kRefused,
         {"OLD's file Apps\\same.txt is a folder in NEW"},
         {},
         {}},
        {"a link, named by its own path",
         [](const Releases& f) { fs::create_symlink("../../old/Apps/a.txt", f.dir / "new/Apps/link.txt"); },
         ovpatch::kRefused,
         {"NEW Apps/link.txt is a link"},
         {},
         {}},
        {"a name starting with a blank",
         [](const Releases& f) { f.Put("new", " blank/x.txt", "x"); },
         ovpatch::kRefused,
         {"NEW  blank\\x.txt starts with a blank"},
         {},
         {}},
        {"a version.txt with LF line ends",
         [](const Releases& f) { f.Put("new", "version.txt", "Orvana\nbuild 0\n5.9\n"); },
         ovpatch::kOk,
         {"NEW's version.txt has LF line ends"},
         {},
         {}},
        {"a minimum patch that is no identifier",
         [](const Releases& f) {
             f.Put("old", "OrvanaTools/version.ver",
                   "<OrvanaVersion><Version>5.8</Version><Lang>fr</Lang><Patch>2014 11</Patch></OrvanaVersion>");
         },
         ovpatch::kRefused,
         {"\"2014 11\", from OLD's OrvanaTools\\version.ver, is no patch identifier"},
         {},
         {}},
        {"a removed folder",
         [](const Releases& f) { f.Put("old", "Docs/Old/x.txt", "x"); },
         ovpatch::kOk,
         {"  removed   Docs\\Old\\x.txt\n", "  left      Docs\\Old\\  (a folder"},
         {},
         {}},
    };
    for (const Row& row : rows) {
        Releases f;
        row.change(f);
        std::vector<std::string> args = {"diff",      f.P("old"),   f.P("new"),   "--archive",
                                         f.P("d.7z"), "--settings", f.P("d.conf")};
        args.insert(args.end(), row.more.begin(), row.more.end());
        const Result r = Ovpatch(args);
        EXPECT_EQ(r.code, row.code) << row.name << ": " << r.out << r.err;
        const std::string& said = row.code == ovpatch::kOk ? r.out : r.err;
        for (const std::string& text : row.says)
            EXPECT_NE(said.find(text), std::string::npos) << row.name << ": " << text << "\n" << said;
        for (const std::string& text : row.lacks)
            EXPECT_EQ(said.find(text), std::string::npos) << row.name << ": " << text << "\n" << said;
        if (row.listed.empty())
            continue;
        std::set<std::string> listed;
        const auto entries = ovpatch::ListArchive(f.P("d.7z"));
        ASSERT_TRUE(entries.has_value());
        for (const ovpatch::ArchiveEntry& e : *entries)
            listed.insert(e.path + (e.folder ? "/" : ""));
        for (const std::string& entry : row.listed)
            EXPECT_TRUE(listed.count(entry)) << row.name << ": " << entry;
    }
}

// Each start-up case ends the plan with the message the patcher shows for it.
TEST(Ovpatch, PlanRefusesWhereThePatcherWould) {
    Releases f;
    frmMaker::MakerSettings s;
    s.ORVVersion = L"5.9";
    s.PatchVersion = L"20150101000000";
    s.MinPatchNeeded = L"20141104134857";
    s.LangName = L"FR";
    s.UpdateInfo = L"<EN>one</EN>";
    s.DelAtEnd =
        L"%ORV%/Apps/same.txt\r\n%ORV%\\Apps\\..\\none.txt\r\nC:\\elsewhere.txt\r\n"
        L"%ORV%\\Apps\\index%LNG%.html\r\n%ORV%\\Apps\\Sub";
    ASSERT_EQ(Ovpatch({"diff", f.P("old"), f.P("new"), "--archive", f.P("new.7z"), "--settings", f.P("d.conf")}).code,
              ovpatch::kOk);
    Write(f.dir / "fr.exe", mGlobal::BuildPatch(f.image, Read(f.dir / "new.7z"),
                                                mStringTools::TextToUtf8Bytes(frmMaker::BuildDescriptor(s, LangText()))));
    const fs::path inst = f.dir / "inst";
    const fs::path record = inst / "OrvanaTools" / "version.ver";
    struct Case {
        std::function<void()> damage;
        const char* key;
        int code;
        const char* why = "";  // the line that names the missing piece
    } cases[] = {
        {[&] { Write(record, Releases::Version("5.8", "20141104134857", "en")); }, "LangMismatch", 1},
        {[&] { Write(record, Releases::Version("5.8", "20141104134856", "Fr")); }, "VersionMismatch", 1},
        {[&] { Write(record, Releases::Version("5.8", "20150101000001", "fr")); }, "NoUpdateNeeded", 1},
        {[&] { Write(record, Releases::Version("5.8", "20150101000000", "fr")); }, "UpdateAlreadyDone", 0},
        {[&] { Write(record, "<orvanaversion><Lang>fr</Lang></orvanaversion>"); },
         "CantUpdate",
         1,
         "because:   OrvanaTools\\version.ver has the root element <orvanaversion>, not <OrvanaVersion>\n"},
        {[&] { fs::remove(record); }, "CantUpdate", 1, "because:   OrvanaTools\\version.ver is missing\n"},
        {[&] { fs::remove(inst / "OrvanaTools" / "Installer" / "7z.dll"); },
         "CantUpdate",
         1,
         "because:   OrvanaTools\\Installer\\7z.dll is missing\n"},
        {[&] { fs::remove(inst / "OrvanaTools" / "Installer" / "7z.exe"); },
         "CantUpdate",
         1,
         "because:   OrvanaTools\\Installer\\7z.exe is missing\n"},
        {[&] { fs::remove(inst / "Orvana.exe"); }, "OrvNotFound", 1},
    };
    for (const Case& c : cases) {
        fs::remove_all(inst);
        fs::copy(f.dir / "old", inst, fs::copy_options::recursive);
        c.damage();
        const Result r = Ovpatch({"plan", f.P("fr.exe"), inst.string(), "--json"});
        EXPECT_EQ(r.code, c.code) << c.key << ": " << r.out << r.err;
        EXPECT_NE(r.out.find(std::string("\"key\": \"") + c.key + "\""), std::string::npos) << c.key << ": " << r.out;
        if (*c.why)
            EXPECT_NE(Ovpatch({"plan", f.P("fr.exe"), inst.string()}).out.find(c.why), std::string::npos) << c.why;
        // Asked whether to apply it again, the patcher goes on when told yes: the plan says what follows.
        if (c.code != 0)
            continue;
        EXPECT_NE(r.out.find(R"("delete": [
   {"path": "%ORV%/Apps/same.txt", "exists": true, "folder": false, "written": "%ORV%/Apps/same.txt", "expands": false},
   {"path": "%ORV%\\Apps\\..\\none.txt", "exists": false, "folder": false, "written": "%ORV%\\Apps\\..\\none.txt", "expands": false},
   {"path": "C:\\elsewhere.txt", "exists": null, "folder": false, "written": "C:\\elsewhere.txt", "expands": false},
   {"path": "%ORV%\\Apps\\indexfr.html", "exists": false, "folder": false, "written": "%ORV%\\Apps\\index%LNG%.html", "expands": true},
   {"path": "%ORV%\\Apps\\Sub", "exists": true, "folder": true, "written": "%ORV%\\Apps\\Sub", "expands": false}])"),
                  std::string::npos)
            << r.out;
        // A line that names another file once expanded, and a folder, which the patcher leaves.
        const Result text = Ovpatch({"plan", f.P("fr.exe"), inst.string(), "--windows-path", "C:\\Orvana"});
        for (const char* line :
             {"  C:\\Orvana/Apps/same.txt  (exists)\n",
              "  C:\\Orvana\\Apps\\indexfr.html  (absent; expanded from %ORV%\\Apps\\index%LNG%.html)\n",
              "  C:\\Orvana\\Apps\\Sub  (folder: not deleted)\n"})
            EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;
    }
    const Result r = Ovpatch({"plan", f.P("data.7z"), inst.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("refused:   Invalid patch file\n"), std::string::npos) << r.out;
}

// The trees are compared before 7zz packs them: what changed in between, a file turned into a link above
// all, is refused before any settings are written.
TEST(Ovpatch, PackingRefusesWhatChangedSinceTheTreesWereRead) {
    Folder f;
    const fs::path tree = f.dir / "tree";
    const std::vector<ovpatch::ArchiveEntry> entries = {
        {"a.txt", 3, false}, {"Sub/b.txt", 3, false}, {"Empty", 0, true}};
    struct Row {
        const char* name;
        std::function<void()> change;
        bool refused;
    } rows[] = {
        {"as read", [] {}, false},
        {"a file now a link", [&] { fs::remove(tree / "a.txt"), fs::create_symlink("Sub/b.txt", tree / "a.txt"); },
         true},
        {"a folder now a link",
         [&] {
             fs::remove_all(tree / "Sub"), fs::create_directories(tree / "Real"), Write(tree / "Real/b.txt", "bcd"),
                 fs::create_directory_symlink("Real", tree / "Sub");
         },
         true},
        {"a file grown", [&] { Write(tree / "a.txt", "abcd"); }, true},
    };
    // Packed from the tree itself, and from copies with their times clamped for a reproducible build.
    for (const std::optional<int64_t> latest : {std::optional<int64_t>{}, std::optional<int64_t>{1420070400}})
        for (const Row& row : rows) {
            fs::remove_all(tree);
            fs::create_directories(tree / "Sub");
            fs::create_directories(tree / "Empty");
            Write(tree / "a.txt", "abc");
            Write(tree / "Sub/b.txt", "bcd");
            row.change();
            const std::string archive = f.P("packed.7z");
            fs::remove(archive);
            try {
                ovpatch::PackChecked(tree.string(), entries, archive, latest);
                EXPECT_FALSE(row.refused) << row.name << (latest ? ", clamped" : "");
            } catch (const ovpatch::Failure& e) {
                EXPECT_TRUE(row.refused) << row.name << (latest ? ", clamped" : "") << ": " << e.message;
                EXPECT_EQ(e.code, ovpatch::kRefused) << row.name << ": " << e.message;
            }
        }
}

// With SOURCE_DATE_EPOCH set, the times on the disk, all later than it, do not reach the archive.
TEST(Ovpatch, DiffPacksTheSameArchiveWhateverTheFileTimes) {
    Releases f;
    fs::create_directories(f.dir / "new" / "Logs");
    fs::copy(f.dir / "new", f.dir / "new2", fs::copy_options::recursive);
    const auto later = fs::file_time_type::clock::now() + std::chrono::hours(1);
    for (const auto& e : fs::recursive_directory_iterator(f.dir / "new2"))
        fs::last_write_time(e.path(), later);
    setenv("SOURCE_DATE_EPOCH", "1420070400", 1);  // 2015-01-01 00:00:00 UTC
    const Result one =
        Ovpatch({"diff", f.P("old"), f.P("new"), "--archive", f.P("one.7z"), "--settings", f.P("one.conf")});
    const Result two =
        Ovpatch({"diff", f.P("old"), f.P("new2"), "--archive", f.P("two.7z"), "--settings", f.P("two.conf")});
    unsetenv("SOURCE_DATE_EPOCH");
    ASSERT_EQ(one.code, ovpatch::kOk) << one.err;
    ASSERT_EQ(two.code, ovpatch::kOk) << two.err;
    EXPECT_TRUE(Read(f.dir / "one.7z") == Read(f.dir / "two.7z"));
    EXPECT_NE(Read(f.dir / "one.7z"), Read(f.dir / "data.7z"));  // a real archive, not the fixture's
}

// Each verb's --help is that verb's part of the help, with the exit codes.
TEST(Ovpatch, EachVerbHasItsOwnHelp) {
    const std::string all = Ovpatch({"--help"}).out;
    for (const char* verb : {"build", "inspect", "diff", "plan"}) {
        const Result r = Ovpatch({verb, "--help"});
        EXPECT_EQ(r.code, ovpatch::kOk) << verb;
        EXPECT_EQ(r.out.rfind(std::string("Usage:\n  ovpatch ") + verb + " ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("Exit codes:"), std::string::npos) << r.out;
        EXPECT_LT(r.out.size(), all.size()) << verb;
        for (const char* other : {"build", "inspect", "diff", "plan"})
            if (std::string(other) != verb)
                EXPECT_EQ(r.out.find(std::string("  ovpatch ") + other + " "), std::string::npos)
                    << verb << ": " << other;
    }
}
