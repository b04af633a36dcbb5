// Test helper: prints what GetAdaptersInfo lists, one adapter per line, in list order:
//   index=N type=T name=NAME desc=TEXT ip=A.B.C.D mask=A.B.C.D
// so a shell test can see what the broadcast cycle will walk. Exit 2 if the call fails.
#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cstdio>
#include <vector>

int main() {
  ULONG size = 0;
  std::vector<unsigned char> buf;
  DWORD rc = ERROR_BUFFER_OVERFLOW;
  // The list may grow between the size query and the read; try a few times.
  for (int tries = 0; tries < 5 && rc == ERROR_BUFFER_OVERFLOW; ++tries) {
    buf.resize(size > 0 ? size : 1);
    rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO *>(buf.data()), &size);
  }
  if (rc == ERROR_NO_DATA) return 0;
  if (rc != ERROR_SUCCESS) {
    std::printf("error=GetAdaptersInfo code=%lu\n", rc);
    return 2;
  }
  for (auto *a = reinterpret_cast<IP_ADAPTER_INFO *>(buf.data()); a != nullptr; a = a->Next) {
    std::printf("index=%lu type=%u name=%s desc=%s ip=%s mask=%s\n", a->Index, a->Type,
                a->AdapterName, a->Description, a->IpAddressList.IpAddress.String,
                a->IpAddressList.IpMask.String);
  }
  return 0;
}
