// The patcher's texts come from the descriptor it carries: a Strings table with one block per language,
// and update information that may hold one block per language too.
#pragma once

#include <cstdint>
#include <string>

#include "container/xml_node.h"

namespace mPatchStrings {

// VB-style "invalid procedure call": the descriptor lacks what the language choice or the update
// information cannot do without. Start-up treats it as any other failure.
inline constexpr int32_t kErrInvalidCall = 5;

struct LanguageChoice {
    std::wstring LangCode;
    // 1-based position of the chosen block's opening tag in the descriptor text; 0 when there is none.
    int32_t StringsPos = 0;
};

// Picks the block for the user's culture name (such as "fr-FR"): the full name, then its first two
// letters, then "EN". Throws SysError (kErrInvalidCall) when the descriptor has no Strings element.
LanguageChoice ChooseLanguage(const std::wstring& descriptor, const std::wstring& cultureName);

// Every "\n" (backslash, n) as CR LF.
std::wstring ExpandLineBreaks(const std::wstring& text);

// Text of `key` from the chosen block on; empty without a table or when no block from there has the key.
std::wstring GetString(const cXmlNode& descriptor, int32_t stringsPos, const std::wstring& key);

// The update information, cut down to the block of `langCode` when it is written as language blocks.
// Throws SysError (kErrInvalidCall) when that block is opened but never closed.
std::wstring UpdateInfoText(const cXmlNode& descriptor, const std::wstring& langCode);

// Every message key the patcher shows, in the order of the shipped language file.
inline constexpr const wchar_t* kMessageKeys[] = {L"Title",
                                                  L"Apply",
                                                  L"Cancel",
                                                  L"UpdateDone",
                                                  L"ExtractError",
                                                  L"CmdRunError",
                                                  L"OrvFound",
                                                  L"OrvNotRunning",
                                                  L"MultipleOrvFound",
                                                  L"VersionMismatch",
                                                  L"LangMismatch",
                                                  L"NoUpdateNeeded",
                                                  L"CantUpdate",
                                                  L"SelectFolderTitle",
                                                  L"OrvNotFound",
                                                  L"UpdateAlreadyDone",
                                                  L"OrvStillRunning"};

}  // namespace mPatchStrings
