#include "support/lang_id.h"

#include "support/encoding.h"

namespace mLang {

namespace {

// ASCII throughout, so it is stored as bytes: every patch carries it.
// The rows written with an "x" instead of a key digit can never be found; they are kept as they have
// always been, so every user gets the same name as before.
constexpr char kLcidTable[] =
    "|0001ar|0002bg|0003ca|0004zh-Hans|7c04zh-Hant|0005cs|0006da|0007de|0008el|0009en|x000 es|000bfi"
    "|000cfr|000dhe|000ehu|000fis|0010it|0011ja|0012ko|0013nl|0014no|0015pl|0016pt|0017rm|0018ro"
    "|0019ru|001ahr|001bsk|001csq|001dsv|001eth|001ftr|0020ur|0021id|0022uk|0023be|0024sl|0025et"
    "|0026lv|0027lt|0028tg|0029fa|002avi|002bhy|002caz|002deu|002ehsb|002fmk|0032tn|0034xh|0035zu"
    "|0036af|0037ka|0038fo|0039hi|003amt|003bse|003cga|003ems|003fkk|0040ky|0041sw|0042tk|0043uz"
    "|0044tt|0045bn|0046pa|0047gu|0048or|0049ta|004ate|004bkn|004cml|004das|004emr|004fsa|0050mn"
    "|0051bo|0052cy|0053km|0054lo|0056gl|0057kok|005asyr|005bsi|005diu|005eam|005ftzm|0061ne|0062fy"
    "|0063ps|0064fil|0065dv|0068ha|006ayo|006bquz|006cnso|x006 ba|006elb|006fkl|0070ig|0078ii|007aarn"
    "|007cmoh|007ebr|0080ug|0081mi|0082oc|0083co|0084gsw|0085sah|0086qut|0087rw|0088wo|008cprs|0091gd"
    "|0401ar-SA|0402bg-BG|0403ca-ES|0404zh-TW|0405cs-CZ|0406da-DK|0407de-DE|0408el-GR|0409en-US"
    "|040Aes-ES_tradnl|x040 fi-FI|040Cfr-FR|040Dhe-IL|040Ehu-HU|040Fis-IS|0410it-IT|0411ja-JP"
    "|0412ko-KR|0413nl-NL|0414nb-NO|0415pl-PL|0416pt-BR|0417rm-CH|0418ro-RO|0419ru-RU|041Ahr-HR"
    "|041Bsk-SK|041Csq-AL|041Dsv-SE|041Eth-TH|041Ftr-TR|0420ur-PK|0421id-ID|0422uk-UA|0423be-BY"
    "|0424sl-SI|0425et-EE|0426lv-LV|0427lt-LT|x042 tg-Cyrl-TJ|0429fa-IR|042Avi-VN|042Bhy-AM"
    "|042Caz-Latn-AZ|042Deu-ES|042Ehsb-DE|042Fmk-MK|0432tn-ZA|0434xh-ZA|0435zu-ZA|0436af-ZA|0437ka-GE"
    "|0438fo-FO|0439hi-IN|043Amt-MT|043Bse-NO|043Ems-MY|043Fkk-KZ|0440ky-KG|0441sw-KE|0442tk-TM"
    "|0443uz-Latn-UZ|0444tt-RU|0445bn-IN|0446pa-IN|x044 gu-IN|0448or-IN|0449ta-IN|044Ate-IN|044Bkn-IN"
    "|044Cml-IN|044Das-IN|044Emr-IN|044Fsa-IN|0450mn-MN|0451bo-CN|0452cy-GB|0453km-KH|0454lo-LA"
    "|0456gl-ES|0457kok-IN|045Asyr-SY|045Bsi-LK|045Cchr-Cher-US|045Diu-Cans-CA|045Eam-ET|045Ftmz"
    "|0461ne-NP|0462fy-NL|0463ps-AF|0464fil-PH|x046 dv-MV|0468ha-Latn-NG|046Ayo-NG|046Bquz-BO"
    "|046Cnso-ZA|046Dba-RU|046Elb-LU|046Fkl-GL|0470ig-NG|0472om-ET|0473ti-ET|0477so-SO|0478ii-CN"
    "|047Aarn-CL|047Cmoh-CA|047Ebr-FR|0480ug-CN|0481mi-NZ|0482oc-FR|0483co-FR|0484gsw-FR|0485sah-RU"
    "|x048 qut-GT|0487rw-RW|0488wo-SN|048Cprs-AF|0491gd-GB|0492ku-Arab-IQ|0801ar-IQ"
    "|0803ca-ES-valencia|0804zh-CN|0807de-CH|0809en-GB|080Aes-MX|080Cfr-BE|0810it-CH|0813nl-BE"
    "|0814nn-NO|0816pt-PT|0818ro-MD|0819ru-MD|081Asr-Latn-CS|081Dsv-FI|0820ur-IN|082Caz-Cyrl-AZ"
    "|082Edsb-DE|0832tn-BW|083Bse-SE|083Cga-IE|083Ems-BN|0843uz-Cyrl-UZ|0845bn-BD|0846pa-Arab-PK"
    "|0849ta-LK|x085 mn-Mong-CN|0859sd-Arab-PK|085Diu-Latn-CA|085Ftzm-Latn-DZ|0867ff-Latn-SN"
    "|086Bquz-EC|0873ti-ER|0C01ar-EG|0C04zh-HK|0C07de-AT|0C09en-AU|0C0Aes-ES|0C0Cfr-CA|0C1Asr-Cyrl-CS"
    "|0C3Bse-FI|0C50mn-Mong-MN|0C51dz-BT|0C6Bquz-PE|1001ar-LY|1004zh-SG|1007de-LU|1009en-CA|100Aes-GT"
    "|100Cfr-CH|101Ahr-BA|103Bsmj-NO|105Ftzm-Tfng-MA|1401ar-DZ|1404zh-MO|1407de-LI|x140 en-NZ"
    "|140Aes-CR|140Cfr-LU|141Abs-Latn-BA|143Bsmj-SE|1801ar-MA|1809en-IE|180Aes-PA|180Cfr-MC"
    "|181Asr-Latn-BA|183Bsma-NO|1C01ar-TN|1C09en-ZA|1C0Aes-DO|1C0Cfr-West|1C1Asr-Cyrl-BA|1C3Bsma-SE"
    "|2001ar-OM|2009en-JM|200Aes-VE|200Cfr-RE|201Abs-Cyrl-BA|203Bsms-FI|2401ar-YE|2409en-029"
    "|240Aes-CO|240Cfr-CD|241asr-Latn-RS|243Bsmn-FI|x280 ar-SY|2809en-BZ|280Aes-PE|280Cfr-SN"
    "|281asr-Cyrl-RS|2C01ar-JO|2C09en-TT|2C0Aes-AR|2C0Cfr-CM|2c1asr-Latn-ME|3001ar-LB|3009en-ZW"
    "|300Aes-EC|300Cfr-CI|301asr-Cyrl-ME|3401ar-KW|3409en-PH|340Aes-CL|340Cfr-ML|3801ar-AE|3809en-ID"
    "|380Aes-UY|380Cfr-MA|3C01ar-BH|3C09en-HK|3c0aes-PY|3C0Cfr-HT|4001ar-QA|4009en-IN|x400 es-BO"
    "|4409en-MY|440Aes-SV|4809en-SG|480Aes-HN|4C09en-AE|4C0Aes-NI|5009en-BH|500Aes-PR|5409en-EG"
    "|540Aes-US|5809en-JO|580Aes-419|5C09en-KW|5C0Aes-CU|6009en-TR|6409en-YE|641abs-Cyrl|681abs-Latn"
    "|6c1asr-Cyrl|701asr-Latn|703bsmn|742caz-Cyrl|743bsms|7804zh|7814nn|781abs|782caz-Latn|783bsma"
    "|7843uz-Cyrl|7850mn-Cyrl|785diu-Cans|7c14nb|7c1asr|7c28tg-Cyrl|7c2edsb|7c3bsmj|7c43uz-Latn"
    "|7c50mn-Mong|7c5diu-Latn|7c5ftzm-Latn|7c68ha-Latn|";

std::wstring UpperAscii(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - 0x20);
        }
    }
    return text;
}

}  // namespace

std::string_view LcidTable() {
    return kLcidTable;
}

std::wstring LangIdKey(int32_t langId) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    const uint32_t value = static_cast<uint32_t>(langId);
    std::wstring key(4, L'0');
    for (int i = 0; i < 4; ++i) {
        key[3 - i] = kDigits[(value >> (4 * i)) & 0xF];
    }
    return key;
}

std::wstring FindCultureName(std::wstring_view key) {
    // Only a whole four-digit key is looked up: a shorter one would match the start of some entry's key.
    if (key.size() != 4) {
        return {};
    }
    std::string narrowKey = "|";
    for (wchar_t c : key) {
        if (c <= 0 || c >= 0x80) {
            return {};
        }
        narrowKey += static_cast<char>(c);
    }
    const std::string_view table = LcidTable();
    const size_t at = table.find(narrowKey);
    if (at == std::string_view::npos) {
        return {};
    }
    const size_t nameStart = at + 5;
    const size_t next = table.find('|', at + 1);
    if (next == std::string_view::npos || next < nameStart) {
        return {};
    }
    const std::string_view name = table.substr(nameStart, next - nameStart);
    return std::wstring(name.begin(), name.end());
}

std::wstring CultureName(int32_t langId, const LocaleQuery& userLocale) {
    const std::wstring key = langId != 0 ? LangIdKey(langId) : UpperAscii(userLocale(LocaleField::LanguageId));
    std::wstring name = FindCultureName(key);
    if (!name.empty()) {
        return name;
    }
    return userLocale(LocaleField::AbbrevLangName);
}

std::wstring LangIdTraceLine(int32_t number, const std::wstring& description) {
    return L"Error " + mStringTools::DecimalText(number) + L" (" + description +
           L") in Property mLang.WindowsUserLangID";
}

}  // namespace mLang
