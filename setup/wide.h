// UTF-16 strings and the 260-unit path buffers of the setup tool.
#pragma once

#include "setup/win32.h"

DWORD WideLength(LPCWSTR Text);
// Exact, unit by unit over the whole length: case counts.
bool WideEqual(LPCWSTR A, LPCWSTR B);

// A path built in a MAX_PATH buffer; every append reports whether it fit.
class PathBuffer {
 public:
  PathBuffer();
  bool Set(LPCWSTR Text);
  // Takes what was written into Data() directly (at most MAX_PATH - 1 units).
  void Adopt();
  bool Append(LPCWSTR Text);
  LPCWSTR Text() const { return text_; }
  WCHAR* Data() { return text_; }
  DWORD Length() const { return length_; }
  // Cut at the first ".inf" (exact case) of the file name, the part after the
  // last backslash, and append ".pnf"; ".pnf" appended to the whole when the
  // file name holds no ".inf". The folders above are never cut.
  bool ToPrecompiled();

 private:
  WCHAR text_[MAX_PATH];
  DWORD length_;
};

// A bare file name: not empty, no '\\', '/' or ':', and not "." or "..".
bool IsBareName(LPCWSTR Name);
// Whether a path names a file: a search on it finds one that is not a folder.
bool PathExists(LPCWSTR Path);
