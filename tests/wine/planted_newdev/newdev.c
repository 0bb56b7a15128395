/* A newdev.dll as someone could plant it beside setup.exe in an installer's
 * temporary folder. It leaves evidence when it is loaded and when its driver
 * update is called: one line each in C:\planted-newdev.txt. The end-to-end
 * test checks that setup.exe never loads it. */
#include <windows.h>

static void Evidence(const char* line) {
  HANDLE file = CreateFileA("C:\\planted-newdev.txt", FILE_APPEND_DATA, FILE_SHARE_READ, NULL,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, line, lstrlenA(line), &written, NULL);
    CloseHandle(file);
  }
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    Evidence("loaded\n");
  }
  return TRUE;
}

__declspec(dllexport) BOOL WINAPI
    UpdateDriverForPlugAndPlayDevicesW(HWND parent, LPCWSTR hardwareId, LPCWSTR infPath,
                                       DWORD flags, BOOL* rebootRequired) {
  (void)parent;
  (void)hardwareId;
  (void)infPath;
  (void)flags;
  Evidence("called\n");
  if (rebootRequired != NULL) {
    *rebootRequired = FALSE;
  }
  return TRUE;
}
