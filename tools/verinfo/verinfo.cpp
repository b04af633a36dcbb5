// verinfo PATH: prints the version resource of one Windows executable as
// Windows itself reads it (GetFileVersionInfoW, VerQueryValueW), one
// "Name: value" line per field, for tests that check what Explorer's
// Details tab shows. Exit 0 when the resource was read, 1 on a usage error,
// 2 when the file has no version resource Windows can read.
//
//   FixedFileVersion: 1.0.0.0       from VS_FIXEDFILEINFO
//   FixedProductVersion: 1.0.0.0
//   Translation: 040904E4           the first language and code page listed
//   FileVersion: 1.0.0.0            strings of that translation's block,
//   ...                             "(none)" where the block lacks one
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

constexpr const wchar_t *kStringNames[] = {
    L"FileVersion", L"ProductVersion", L"FileDescription", L"InternalName",     L"Comments",
    L"ProductName", L"CompanyName",    L"LegalCopyright",  L"OriginalFilename",
};

using Resource = std::vector<unsigned char>;

bool read_resource(const wchar_t *path, Resource *data) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return false;
  data->assign(size, 0);
  return GetFileVersionInfoW(path, 0, size, data->data()) != FALSE;
}

// The value points into `data`; an empty value counts as absent.
bool query(Resource *data, const wchar_t *sub_block, void **value, UINT *length) {
  *value = nullptr;
  *length = 0;
  return VerQueryValueW(data->data(), sub_block, value, length) != FALSE && *value != nullptr &&
         *length > 0;
}

void print_version(const wchar_t *name, DWORD most, DWORD least) {
  std::wprintf(L"%ls: %u.%u.%u.%u\n", name, static_cast<unsigned>(HIWORD(most)),
               static_cast<unsigned>(LOWORD(most)), static_cast<unsigned>(HIWORD(least)),
               static_cast<unsigned>(LOWORD(least)));
}

void print_fixed(Resource *data) {
  void *value = nullptr;
  UINT length = 0;
  if (!query(data, L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    std::wprintf(L"FixedFileVersion: (none)\nFixedProductVersion: (none)\n");
    return;
  }
  const auto *info = static_cast<const VS_FIXEDFILEINFO *>(value);
  print_version(L"FixedFileVersion", info->dwFileVersionMS, info->dwFileVersionLS);
  print_version(L"FixedProductVersion", info->dwProductVersionMS, info->dwProductVersionLS);
}

// The string block's key: language and code page as eight hex digits.
bool first_translation(Resource *data, wchar_t (&key)[9]) {
  void *value = nullptr;
  UINT length = 0;
  if (!query(data, L"\\VarFileInfo\\Translation", &value, &length) || length < 2 * sizeof(WORD))
    return false;
  const auto *pair = static_cast<const WORD *>(value);
  return std::swprintf(key, 9, L"%04X%04X", static_cast<unsigned>(pair[0]),
                       static_cast<unsigned>(pair[1])) == 8;
}

void print_string(Resource *data, const wchar_t *key, const wchar_t *name) {
  wchar_t sub_block[96];
  void *value = nullptr;
  UINT length = 0;
  if (std::swprintf(sub_block, 96, L"\\StringFileInfo\\%ls\\%ls", key, name) > 0 &&
      query(data, sub_block, &value, &length)) {
    std::wprintf(L"%ls: %ls\n", name, static_cast<const wchar_t *>(value));
  } else {
    std::wprintf(L"%ls: (none)\n", name);
  }
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc != 2) {
    std::fwprintf(stderr, L"usage: verinfo PATH\n");
    return 1;
  }
  Resource data;
  if (!read_resource(argv[1], &data)) {
    std::fwprintf(stderr, L"verinfo: no version resource (error %lu)\n", GetLastError());
    return 2;
  }
  print_fixed(&data);
  wchar_t key[9] = L"(none)";
  const bool translated = first_translation(&data, key);
  std::wprintf(L"Translation: %ls\n", key);
  for (const wchar_t *name : kStringNames) {
    if (translated) {
      print_string(&data, key, name);
    } else {
      std::wprintf(L"%ls: (none)\n", name);
    }
  }
  return 0;
}
