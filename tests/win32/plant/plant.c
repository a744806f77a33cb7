/* A library planted where a program might take it from by mistake (beside
 * the executable, in the current directory, on PATH), under the name of the
 * library it stands for. Loaded, it leaves "<its own path>.ran" beside
 * itself. It exports what a program importing VERSION.dll would bind to,
 * each failing, so that a program that uses it loses its version. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    WCHAR path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
      lstrcpyW(path + n, L".ran");
      HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
      if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
  }
  return TRUE;
}

#define FAILS(result, name, params) \
  __declspec(dllexport) result WINAPI name params { return 0; }

FAILS(DWORD, GetFileVersionInfoSizeA, (LPCSTR file, LPDWORD handle))
FAILS(DWORD, GetFileVersionInfoSizeW, (LPCWSTR file, LPDWORD handle))
FAILS(BOOL, GetFileVersionInfoA, (LPCSTR file, DWORD handle, DWORD size, LPVOID data))
FAILS(BOOL, GetFileVersionInfoW, (LPCWSTR file, DWORD handle, DWORD size, LPVOID data))
FAILS(BOOL, VerQueryValueA, (LPCVOID block, LPCSTR subBlock, LPVOID* value, PUINT length))
FAILS(BOOL, VerQueryValueW, (LPCVOID block, LPCWSTR subBlock, LPVOID* value, PUINT length))
