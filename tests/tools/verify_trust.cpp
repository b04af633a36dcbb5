// verify_trust FILE...: prints, a line for each file, what Windows itself says of its
// Authenticode signature: WinVerifyTrust's result in hex, 00000000 when the signature is there
// and intact. Revocation is not checked and nothing is shown to a user.
#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <cwchar>

int wmain(int argc, wchar_t **argv) {
  for (int i = 1; i < argc; ++i) {
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = argv[i];
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(nullptr, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &data);
    std::wprintf(L"%08lX\n", static_cast<unsigned long>(result));
  }
  return 0;
}
