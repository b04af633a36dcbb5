// The names the service manager knows this program by. The display name is
// also the caption of every notice box.
#pragma once

inline constexpr wchar_t kServiceName[] = L"Ostrival";
inline constexpr wchar_t kDisplayName[] = L"Ostrival Service";
