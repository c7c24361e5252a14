#include "install/authenticode.hpp"

#include "foundation/text.hpp"

#include "build_config.hpp"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <string>
#include <vector>

namespace tess {
namespace {

// The signer's simple display name, or nothing when WinTrust kept no signer certificate.
bool signerNameMatches(HANDLE stateData) {
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(stateData);
    if (!provider)
        return false;
    CRYPT_PROVIDER_SGNR* signer = ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (!signer)
        return false;
    CRYPT_PROVIDER_CERT* certificate = ::WTHelperGetProvCertFromChain(signer, 0);
    if (!certificate || !certificate->pCert)
        return false;
    std::vector<wchar_t> name(1024, L'\0');
    ::CertGetNameStringW(certificate->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(),
                         static_cast<DWORD>(name.size()));
    // Ordinal and case-sensitive: a publisher that differs only in case is another publisher.
    return std::wstring(name.data()) == toWide(build::expectedPublisher);
}

} // namespace

bool verifyPublisherSignature(const std::filesystem::path& file, bool offline) {
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = file.c_str();

    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = offline ? WTD_REVOKE_NONE : WTD_REVOKE_WHOLECHAIN;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = offline ? WTD_CACHE_ONLY_URL_RETRIEVAL : WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = ::WinVerifyTrust(nullptr, &action, &data);
    bool trusted = status == 0 && signerNameMatches(data.hWVTStateData);

    // The state data is released on every path, also after a failed verification.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(nullptr, &action, &data);
    return trusted;
}

} // namespace tess
