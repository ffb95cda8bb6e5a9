#include "maker/descriptor_builder.h"

#include <string_view>

#include "container/archive_header.h"
#include "support/encoding.h"

namespace frmMaker {
namespace {

using mStringTools::AsciiLower;
using mStringTools::EqualsAsciiNoCase;
using mStringTools::ReplaceAll;

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
        const std::wstring trimmed = mStringTools::TrimBlanks(line);
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
    body += s.LangCheck ? cXmlNode::XmlCode(L"PatchLang", AsciiLower(s.LangName)) : L"<PatchLang/>";
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

namespace {

// Elements a reader looks for anywhere in the descriptor, without regard to letter case.
constexpr const wchar_t* kDescriptorElements[] = {
    L"ORVPatch", L"ExtractPath",      L"ORVVersion", L"ORVPatchNeeded", L"PatchVersion", L"PatchLang", L"UpdateInfo",
    L"ORVLang",  L"ForceMenuRestart", L"FileFlags",  L"RunAfter",       L"DelAfter",     L"Strings"};

// The first piece of `value` that the descriptor could not hold as that value: a tag of a descriptor
// element, which a reader would take for the element itself, and, unless the value may hold markup of
// its own (the update text's language blocks), any closing tag. Empty when there is none.
std::wstring MarkupIn(const std::wstring& value, bool ownMarkup) {
    for (size_t at = value.find(L'<'); at != std::wstring::npos; at = value.find(L'<', at + 1)) {
        const size_t name = at + (value.compare(at, 2, L"</") == 0 ? 2 : 1);
        for (const wchar_t* element : kDescriptorElements) {
            if (mStringTools::HasAsciiNoCase(value, name, element))
                return value.substr(at, name - at + std::wstring_view(element).size());
        }
        if (!ownMarkup && name == at + 2)
            return L"</";
    }
    return {};
}

}  // namespace

Refusal CheckBuild(const MakerSettings& s, const std::wstring& outputName, const BuildFacts& facts) {
    Refusal r;
    // "sign.bat" gets the name on cmd's command line, where quotes do not stop %…% from being expanded.
    if (!IsUsableFileName(outputName) || outputName.find(L'%') != std::wstring::npos)
        r.kind = BuildRefusal::UnusableName;
    // Such a patch could never do what was typed: "|" splits one command into several, and markup
    // changes what the patcher reads. The update text comes first of those that may hold markup, the
    // list fields last.
    const std::wstring* const values[] = {&s.ExtractPath, &s.ORVVersion, &s.MinPatchNeeded, &s.PatchVersion,
                                          &s.UpdateInfo,  &s.FileFlags,  &s.RunAtEnd,       &s.DelAtEnd};
    static const wchar_t* const kElements[] = {L"ExtractPath", L"ORVVersion", L"ORVPatchNeeded", L"PatchVersion",
                                               L"UpdateInfo",  L"FileFlags",  L"RunAfter",       L"DelAfter"};
    for (size_t i = 0; i < std::size(values) && r.kind == BuildRefusal::None; ++i) {
        r.field = kElements[i];
        if (i >= 5 && values[i]->find(L'|') != std::wstring::npos) {
            r.kind = BuildRefusal::ListSeparator;
            r.found = L"|";
        } else if (!(r.found = MarkupIn(*values[i], i == 4)).empty()) {
            r.kind = BuildRefusal::DescriptorMarkup;
        }
    }
    if (r.kind == BuildRefusal::None || r.kind == BuildRefusal::UnusableName)
        r.field.clear();
    if (r.kind != BuildRefusal::None)
        return r;
    if (facts.outputIsImage)
        r.kind = BuildRefusal::OutputIsImage;
    else if (facts.outputIsArchive)
        r.kind = BuildRefusal::OutputIsArchive;
    // The patch would start and show its window, but every reader refuses a block length of 0; a file that is
    // no 7z archive, or a damaged one, would fail on every machine with an error no Retry can mend.
    else if (facts.archiveSize == 0)
        r.kind = BuildRefusal::EmptyArchive;
    else if (const mArchiveHeader::Fault fault = mArchiveHeader::Check(facts.archiveHead);
             !facts.archiveHead.empty() && fault != mArchiveHeader::Fault::None)
        r.kind = fault == mArchiveHeader::Fault::NotSevenZip ? BuildRefusal::NotAnArchive
                 : fault == mArchiveHeader::Fault::Damaged   ? BuildRefusal::DamagedArchive
                                                             : BuildRefusal::EmptyArchive;
    return r;
}

std::wstring RefusalMessage(const Refusal& refusal, const std::wstring& name) {
    // Before and after what the refusal is about (the output's name, or a field and what it holds), for
    // each refusal in its order.
    static const wchar_t* const kText[][2] = {
        {L"", L""},
        {L"le nom « ",
         L" » n'est pas un nom de fichier valide. Retirez de la version du patch les caractères "
         L"\\ / : * ? \" < > | % et les espaces ou points finaux."},
        {L"une ligne du champ « ",
         L" », qui sépare les entrées dans le patch. Mettez chaque entrée sur sa propre ligne."},
        {L"le champ « ", L" », que le patch lirait comme une partie de sa description. Retirez-le."},
        {L"« ", L" » est le fichier de ce programme lui-même. Choisissez une autre version de patch."},
        {L"« ", L" » est le fichier de données choisi. Choisissez une autre version de patch."},
        {L"le fichier de données est vide, le patch n'installerait rien. Choisissez l'archive 7zip des fichiers à "
         L"installer.",
         L""},
        {L"le fichier de données « ", L" » n'est pas une archive 7zip. Choisissez l'archive des fichiers à installer."},
        {L"le fichier de données « ", L" » est endommagé (la somme de contrôle de son en-tête est fausse)."},
    };
    // The window's labels of the fields that feed those elements.
    static const wchar_t* const kLabels[][2] = {{L"ExtractPath", L"Chemin relatif pour l'extraction des données"},
                                                {L"ORVVersion", L"Version Orvana"},
                                                {L"ORVPatchNeeded", L"Avec au moins ce patch"},
                                                {L"PatchVersion", L"Version de ce patch"},
                                                {L"UpdateInfo", L"Informations sur la mise à jour"},
                                                {L"FileFlags", L"Flags fichiers"},
                                                {L"RunAfter", L"Exécuter après extraction"},
                                                {L"DelAfter", L"Supprimer en fin de patch"}};
    if (refusal.kind == BuildRefusal::None)
        return {};
    std::wstring about = refusal.kind == BuildRefusal::EmptyArchive ? std::wstring() : name;
    if (!refusal.field.empty()) {
        about.clear();
        for (const auto& label : kLabels) {
            if (refusal.field == label[0])
                about = label[1];
        }
        about += L" » contient « " + refusal.found;
    }
    const auto& text = kText[static_cast<int>(refusal.kind)];
    return L"Le patch n'a pas été créé : " + (text[0] + about) + text[1];
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
