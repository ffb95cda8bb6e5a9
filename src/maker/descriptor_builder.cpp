#include "maker/descriptor_builder.h"

#include <string_view>

#include "support/encoding.h"

namespace frmMaker {
namespace {

std::wstring TrimSpaces(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos)
        return {};
    const size_t last = text.find_last_not_of(L' ');
    return text.substr(first, last - first + 1);
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to) {
    size_t at = 0;
    while ((at = text.find(from, at)) != std::wstring::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

wchar_t AsciiLower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualsAsciiNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

std::wstring AsciiLowerText(std::wstring text) {
    for (auto& c : text)
        c = AsciiLower(c);
    return text;
}

std::wstring AsciiUpperText(std::wstring text) {
    for (auto& c : text) {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
}

}  // namespace

std::vector<std::wstring> SplitCrLf(const std::wstring& text) {
    std::vector<std::wstring> pieces;
    size_t from = 0;
    for (;;) {
        const size_t at = text.find(L"\r\n", from);
        if (at == std::wstring::npos) {
            pieces.push_back(text.substr(from));
            return pieces;
        }
        pieces.push_back(text.substr(from, at - from));
        from = at + 2;
    }
}

std::wstring PrepareListField(const std::wstring& text) {
    std::wstring joined;
    for (const auto& line : SplitCrLf(text)) {
        const std::wstring trimmed = TrimSpaces(line);
        if (trimmed.empty())
            continue;
        if (!joined.empty())
            joined += L'|';
        joined += trimmed;
    }
    return joined;
}

std::wstring BuildDescriptor(const MakerSettings& s, const std::wstring& langFileText) {
    std::wstring body;
    body += cXmlNode::XmlCode(L"ExtractPath", s.ExtractPath);
    body += cXmlNode::XmlCode(L"ORVVersion", s.ORVVersion);
    body += cXmlNode::XmlCode(L"ORVPatchNeeded", s.MinPatchNeeded);
    body += cXmlNode::XmlCode(L"PatchVersion", s.PatchVersion);
    // Patches in circulation carry the empty form with no line break; readers see it as empty text.
    body += s.LangCheck ? cXmlNode::XmlCode(L"PatchLang", AsciiLowerText(s.LangName)) : L"<PatchLang/>";
    body += cXmlNode::XmlCode(L"UpdateInfo", s.UpdateInfo);
    if (s.LangCheck)
        body += cXmlNode::XmlCode(L"ORVLang", s.LangName);
    if (s.ForceMenuRestart)
        body += cXmlNode::XmlCode(L"ForceMenuRestart", L"1");
    const std::wstring fileFlags = PrepareListField(s.FileFlags);
    if (!fileFlags.empty())
        body += cXmlNode::XmlCode(L"FileFlags", fileFlags);
    const std::wstring runAfter = PrepareListField(s.RunAtEnd);
    if (!runAfter.empty())
        body += cXmlNode::XmlCode(L"RunAfter", runAfter);
    const std::wstring delAfter = PrepareListField(s.DelAtEnd);
    if (!delAfter.empty())
        body += cXmlNode::XmlCode(L"DelAfter", delAfter);
    int32_t position = 0;
    body += cXmlNode::XmlCode(L"Strings", mStringTools::GetTagValue(langFileText, L"messages", position));
    return cXmlNode::XmlCode(L"ORVPatch", body);
}

std::wstring OutputFileName(const std::wstring& patchVersion, const std::wstring& langName, bool langCheck) {
    return L"orv_" + patchVersion + (langCheck ? L"_" + AsciiUpperText(langName) : L"_MultiLng") + L".exe";
}

bool IsUsableFileName(const std::wstring& name) {
    if (name.empty() || name.back() == L'.' || name.back() == L' ')
        return false;
    for (wchar_t c : name) {
        if (c < 32 || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos)
            return false;
    }
    return true;
}

BuildRefusal CheckBuild(const std::wstring& outputName, const BuildFacts& facts) {
    // "sign.bat" gets the name on cmd's command line, where quotes do not stop %…% from being expanded.
    if (!IsUsableFileName(outputName) || outputName.find(L'%') != std::wstring::npos)
        return BuildRefusal::UnusableName;
    if (facts.outputIsImage)
        return BuildRefusal::OutputIsImage;
    if (facts.outputIsArchive)
        return BuildRefusal::OutputIsArchive;
    // The patch would start and show its window, but every reader refuses a block length of 0.
    if (facts.archiveSize == 0)
        return BuildRefusal::EmptyArchive;
    return BuildRefusal::None;
}

std::wstring RefusalMessage(BuildRefusal refusal, const std::wstring& name) {
    // Before and after the output's name, for each refusal in its order.
    static const wchar_t* const kText[][2] = {
        {L"", L""},
        {L"Le patch n'a pas été créé : le nom « ",
         L" » n'est pas un nom de fichier valide. Retirez de la version du patch les caractères "
         L"\\ / : * ? \" < > | % et les espaces ou points finaux."},
        {L"Le patch n'a pas été créé : « ",
         L" » est le fichier de ce programme lui-même. Choisissez une autre version de patch."},
        {L"Le patch n'a pas été créé : « ",
         L" » est le fichier de données choisi. Choisissez une autre version de patch."},
        {L"Le patch n'a pas été créé : le fichier de données est vide, le patch n'installerait rien. "
         L"Choisissez l'archive 7zip des fichiers à installer.",
         L""},
    };
    const auto& text = kText[static_cast<int>(refusal)];
    if (refusal == BuildRefusal::None)
        return {};
    return text[0] + (refusal == BuildRefusal::EmptyArchive ? std::wstring() : name) + text[1];
}

std::wstring SignArgument(const std::wstring& fileName) {
    // Characters that make cmd split the argument or act on it unless it is quoted (the list "cmd /?"
    // gives, and the redirections); a plain name is passed as it is.
    if (fileName.find_first_of(L" \t&()[]{}^=;!'+,`~|<>") != std::wstring::npos)
        return L"\"" + fileName + L"\"";
    return fileName;
}

std::optional<std::wstring> SuiteVersionFromVersionTxt(const std::wstring& text) {
    const auto pieces = SplitCrLf(text);
    if (pieces.size() < 3)
        return std::nullopt;
    return pieces[2];
}

std::wstring FormatPatchId(int year, int month, int day, int hour, int minute, int second) {
    using mStringTools::DecimalText;
    return DecimalText(year, 4) + DecimalText(month, 2) + DecimalText(day, 2) + DecimalText(hour, 2) +
           DecimalText(minute, 2) + DecimalText(second, 2);
}

std::vector<std::wstring> ListLanguages(const std::wstring& langFileText) {
    std::vector<std::wstring> names;
    const cXmlNode node(langFileText);
    const int32_t count = node.ChildCount();
    for (int32_t i = 1; i <= count; ++i) {
        if (auto child = node.Child(i))
            names.push_back(child->Name());
    }
    return names;
}

ImportedSettings ImportFromDescriptor(const cXmlNode& d) {
    ImportedSettings r;
    r.ORVVersion = d.ChildValue(L"ORVVersion");
    r.MinPatchNeeded = d.ChildValue(L"ORVPatchNeeded");
    r.PatchVersion = d.ChildValue(L"PatchVersion");
    r.ForceMenuRestart = d.ChildValue(L"ForceMenuRestart") == L"1";
    r.ORVLang = d.ChildValue(L"ORVLang");
    r.LangCheck = !r.ORVLang.empty();
    r.UpdateInfo = ReplaceAll(d.ChildValue(L"UpdateInfo"), L"\\n", L"\r\n");
    r.RunAtEnd = ReplaceAll(d.ChildValue(L"RunAfter"), L"|", L"\r\n");
    r.DelAtEnd = ReplaceAll(d.ChildValue(L"DelAfter"), L"|", L"\r\n");
    r.FileFlags = ReplaceAll(d.ChildValue(L"FileFlags"), L"|", L"\r\n");
    return r;
}

void ApplyImported(MakerSettings& s, const ImportedSettings& r, const std::vector<std::wstring>& languages) {
    s.ORVVersion = r.ORVVersion;
    s.MinPatchNeeded = r.MinPatchNeeded;
    s.PatchVersion = r.PatchVersion;
    s.ForceMenuRestart = r.ForceMenuRestart;
    const int32_t entry = FindLanguageEntry(languages, r.ORVLang);
    if (entry >= 0)
        s.LangName = languages[static_cast<size_t>(entry)];
    s.UpdateInfo = r.UpdateInfo;
    s.LangCheck = r.LangCheck;
    s.RunAtEnd = r.RunAtEnd;
    s.DelAtEnd = r.DelAtEnd;
    s.FileFlags = r.FileFlags;
}

int32_t FindLanguageEntry(const std::vector<std::wstring>& entries, const std::wstring& value) {
    if (value.empty())
        return -1;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (EqualsAsciiNoCase(entries[i], value))
            return static_cast<int32_t>(i);
    }
    return -1;
}

std::optional<std::wstring> FirstPathWithExtension(const std::vector<std::wstring>& paths,
                                                   const std::wstring& extension) {
    for (const auto& path : paths) {
        if (path.size() >= extension.size() &&
            EqualsAsciiNoCase(path.substr(path.size() - extension.size()), extension))
            return path;
    }
    return std::nullopt;
}

}  // namespace frmMaker
