// The message table and descriptor of a typical multilingual patch, shared by the tests that read them.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace typical {

struct Message {
    const wchar_t* key;
    const wchar_t* en;
    const wchar_t* fr;
};

// Stored texts keep "\n" as two characters. Note the two LangMismatch texts: each stands in the other
// language's block, as in the patches in circulation.
inline const std::vector<Message>& Messages() {
    static const std::vector<Message> messages = {
        {L"Title", L"Update of your Orvana", L"Mise à jour de votre Orvana"},
        {L"Apply", L"Apply the update", L"Appliquer la mise à jour"},
        {L"Cancel", L"Cancel", L"Annuler"},
        {L"UpdateDone", L"Update successful", L"La mise à jour de votre Orvana est terminée"},
        {L"ExtractError", L"An error occured during data decompression !",
         L"Une erreur est apparue pendant l'extraction des données !"},
        {L"CmdRunError", L"An error occured during command execution !",
         L"Une erreur est apparue pendant l'exécution d'une commande"},
        {L"OrvFound", L"Your Orvana has been found in the following folder :",
         L"Votre Orvana a été trouvée dans le dossier suivant :"},
        {L"OrvNotRunning", L"The Orvana is not running.\\nWould you like to select its folder manually ?",
         L"La orvana n'est pas en cours d'exécution.\\nVoulez-vous sélectionner son dossier manuellement ?"},
        {L"MultipleOrvFound",
         L"Several Orvana are running.\\nClose all running Orvana except the one you want to update.",
         L"Plusieurs Orvana sont en cours d'exécution.\\nNe laissez en fonction que celle que vous souhaitez "
         L"mettre à jour."},
        {L"VersionMismatch", L"This update does not apply to your Orvana version",
         L"Cette mise à jour ne s'applique pas à votre version de Orvana"},
        {L"LangMismatch", L"Cette mise à jour s'applique uniquement à une Orvana %lang%",
         L"This update applies only to a Orvana %lang%"},
        {L"NoUpdateNeeded", L"Your Orvana is newer than this update.",
         L"Votre version de Orvana est plus récente que cette mise à jour."},
        {L"CantUpdate", L"Unable to apply this update to your Orvana",
         L"Impossible d'appliquer cette mise à jour à votre Orvana"},
        {L"SelectFolderTitle", L"Select your Orvana's folder", L"Sélectionnez le répertoire de votre Orvana"},
        {L"OrvNotFound", L"Orvana not found in this folder", L"La Orvana n'a pas été trouvée dans ce répertoire"},
        {L"UpdateAlreadyDone", L"This update has already been applied to your Orvana.\\nInstall it again?",
         L"Cette mise-à-jour a déjà été appliquée à votre Orvana.\\nVoulez-vous l'appliquer à nouveau ?"},
        {L"OrvStillRunning", L"Your Orvana is still running after the automatic closure attempt",
         L"Votre Orvana est encore en cours d'exécution après la tentative de fermeture automatique."},
    };
    return messages;
}

// One TAB-indented block per language, one TAB-indented element per key.
inline std::wstring LanguageBlock(const std::wstring& code, bool french) {
    std::wstring block = L"\t<" + code + L">\r\n";
    for (const Message& m : Messages()) {
        block += std::wstring(L"\t\t<") + m.key + L">" + (french ? m.fr : m.en) + L"</" + m.key + L">\r\n";
    }
    return block + L"\t</" + code + L">\r\n";
}

// Content of the Strings element: the FR block, then the EN block.
inline std::wstring StringsContent() {
    return L"\r\n" + LanguageBlock(L"FR", true) + LanguageBlock(L"EN", false);
}

inline const std::wstring& UpdateInfoEN() {
    static const std::wstring text =
        L"This patch includes the following versions of OrvanaTools:\r\n"
        L"- OrvanaMenu 3.4.1\r\n- OrvanaWrapper 2.9.0\r\n- OrvanaAssoc 1.7.2\r\n"
        L"Your data stays.";
    return text;
}

inline const std::wstring& UpdateInfoFR() {
    static const std::wstring text =
        L"Ce correctif contient les versions suivantes des OrvanaTools :\r\n"
        L"- OrvanaMenu 3.4.1\r\n- OrvanaWrapper 2.9.0\r\n- OrvanaAssoc 1.7.2\r\n"
        L"Vos données restent.";
    return text;
}

// The descriptor of a multilingual patch as the maker lays it out: suite 5.8, prerequisite patch
// 20141104134857, forced menu restart, update information in EN and FR. 3,454 bytes in UTF-8.
inline std::wstring Descriptor() {
    auto code = [](const std::wstring& name, const std::wstring& value) {
        return L"<" + name + L">" + value + L"</" + name + L">\r\n";
    };
    std::wstring body = code(L"ExtractPath", L"") + code(L"ORVVersion", L"5.8") +
                        code(L"ORVPatchNeeded", L"20141104134857") + code(L"PatchVersion", L"20141114055922") +
                        L"<PatchLang/>" +
                        code(L"UpdateInfo", L"<EN>" + UpdateInfoEN() + L"</EN>\r\n<FR>" + UpdateInfoFR() + L"</FR>") +
                        code(L"ForceMenuRestart", L"1") + code(L"Strings", StringsContent());
    return code(L"ORVPatch", body);
}

// UTF-8 of text in the Basic Multilingual Plane, which is all the test data holds.
inline std::string Utf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wc : text) {
        const unsigned c = static_cast<unsigned>(wc);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace typical
