#include "cli/ovpatch.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "container/patch_container.h"
#include "e2e/harness/patch_mutator.h"
#include "maker/descriptor_builder.h"
#include "support/encoding.h"

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

// A folder with an image, an archive and the shipped language file, removed afterwards.
struct Folder {
    fs::path dir = fs::temp_directory_path() / ("ovpatch_test_" + std::to_string(getpid()));
    std::string image = std::string("MZ") + std::string(3000, '\x90');
    std::string archive = std::string("7z\xBC\xAF\x27\x1C", 6) + std::string(500, 'a');
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
          "run-after = a.exe\nrun-after = b.exe\n");
    const Result r =
        Ovpatch(f.Build({"--settings", f.P("patch.conf"), "--force-menu-restart", "--run-after", "c.exe"}));
    ASSERT_EQ(r.code, ovpatch::kOk) << r.err;
    const fs::path output = f.dir / "out" / "orv_20141114055922_EN.exe";
    EXPECT_EQ(r.out, output.string() + "\n");
    EXPECT_NE(r.err.find("sign.bat is never run"), std::string::npos);

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

    // Rebuilt from the patch: what a drop imports ("\n" comes back as a line break), with a new
    // identifier and no language restriction.
    const Result again = Ovpatch(f.Build({"--from", output.string(), "--patch-version", "2", "--all-languages"}));
    ASSERT_EQ(again.code, ovpatch::kOk) << again.err;
    const Result shown = Ovpatch({"inspect", (f.dir / "out" / "orv_2_MultiLng.exe").string()});
    ASSERT_EQ(shown.code, ovpatch::kOk) << shown.err;
    for (const char* line : {"archive:     506 bytes at 3002", "  ORVVersion: 5.8", "  ForceMenuRestart: 1",
                             "  UpdateInfo: <EN>Fixes:\u240D\u240A- the menu</EN>\u240D\u240A<FR>", "  RunAfter: c.exe",
                             "  PatchLang: \n", "languages:   2", "  FR: ", "  EN: "})
        EXPECT_NE(shown.out.find(line), std::string::npos) << line << "\n" << shown.out;
}

TEST(Ovpatch, RefusalsAndBadInputHaveTheirOwnCodesAndLeaveNothing) {
    Folder f;
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;
    } cases[] = {
        {f.Build({}), ovpatch::kUsage, "--suite-version is required"},
        {f.Build({"--suite-version", "5.8", "--lang", "DE"}), ovpatch::kUsage, "not in the language file (FR, EN)"},
        {f.Build({"--suite-version", "5.8", "--patch-version", "50%"}), ovpatch::kRefused, "not a usable file name"},
        {f.Build({"--suite-version", "5.8", "--patch-version", "a/b"}), ovpatch::kRefused, "not a usable file name"},
        {f.Build({"--suite-version", "5.8", "--langs", f.P("none.xml")}), ovpatch::kUnreadable, "none.xml"},
        {f.Build({"--suite-version", "5.8", "--from", f.P("data.7z")}), ovpatch::kNotAPatch, "is not a patch"},
        {f.Build({"--suite-version", "5.8", "--bogus", "1"}), ovpatch::kUsage, "unknown option --bogus"},
        {{"build", "--image", f.P("OVPatcher.exe"), "--archive", f.P("data.7z"), "-o", f.P("missing")},
         ovpatch::kWriteFailed,
         "does not exist"},
        {{"inspect", f.P("data.7z")}, ovpatch::kNotAPatch, "no OVPATCHEND marker"},
        {{"inspect", f.P("missing.exe")}, ovpatch::kUnreadable, "cannot read"},
        {{"frobnicate"}, ovpatch::kUsage, "unknown command"},
    };
    for (const Case& c : cases) {
        const Result r = Ovpatch(c.args);
        EXPECT_EQ(r.code, c.code) << c.says << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    // The output that would be the image or the archive, and an empty archive.
    Write(f.dir / "out" / "orv_1_FR.exe", f.image);
    Result r = Ovpatch({"build", "--image", f.P("out/orv_1_FR.exe"), "--archive", f.P("data.7z"), "-o", f.P("out"),
                        "--langs", f.P("PatchLang.xml"), "--suite-version", "5.8", "--patch-version", "1"});
    EXPECT_EQ(r.code, ovpatch::kRefused);
    EXPECT_NE(r.err.find("is the image itself"), std::string::npos) << r.err;
    Write(f.dir / "data.7z", "");
    r = Ovpatch(f.Build({"--suite-version", "5.8"}));
    EXPECT_EQ(r.code, ovpatch::kRefused);
    EXPECT_NE(r.err.find("the archive is empty"), std::string::npos) << r.err;
    EXPECT_EQ(f.OutputCount(), 1u);  // no partial patch, no temporary file
    EXPECT_EQ(Read(f.dir / "out" / "orv_1_FR.exe"), f.image);
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
