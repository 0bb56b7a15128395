#include "setup/wide.h"

DWORD WideLength(LPCWSTR Text) {
  DWORD n = 0;
  while (Text[n] != 0) {
    ++n;
  }
  return n;
}

bool WideEqual(LPCWSTR A, LPCWSTR B) {
  DWORD i = 0;
  for (; A[i] != 0 && A[i] == B[i]; ++i) {
  }
  return A[i] == B[i];
}

PathBuffer::PathBuffer() : length_(0) {
  text_[0] = 0;
}

bool PathBuffer::Set(LPCWSTR Text) {
  length_ = 0;
  text_[0] = 0;
  return Append(Text);
}

void PathBuffer::Adopt() {
  text_[MAX_PATH - 1] = 0;
  length_ = WideLength(text_);
}

bool PathBuffer::Append(LPCWSTR Text) {
  const DWORD n = WideLength(Text);
  if (length_ + n + 1 > MAX_PATH) {
    return false;
  }
  for (DWORD i = 0; i < n; ++i) {
    text_[length_ + i] = Text[i];
  }
  length_ += n;
  text_[length_] = 0;
  return true;
}

bool PathBuffer::ToPrecompiled() {
  static const WCHAR inf[] = {'.', 'i', 'n', 'f', 0};
  static const WCHAR pnf[] = {'.', 'p', 'n', 'f', 0};
  DWORD name = 0;
  for (DWORD i = 0; i < length_; ++i) {
    if (text_[i] == '\\' || text_[i] == '/') {
      name = i + 1;
    }
  }
  for (DWORD i = name; i + 4 <= length_; ++i) {
    if (text_[i] == inf[0] && text_[i + 1] == inf[1] && text_[i + 2] == inf[2] &&
        text_[i + 3] == inf[3]) {
      length_ = i;
      text_[i] = 0;
      break;
    }
  }
  return Append(pnf);
}

bool IsBareName(LPCWSTR Name) {
  const DWORD n = WideLength(Name);
  if (n == 0 || (n == 1 && Name[0] == '.') || (n == 2 && Name[0] == '.' && Name[1] == '.')) {
    return false;
  }
  for (DWORD i = 0; i < n; ++i) {
    if (Name[i] == '\\' || Name[i] == '/' || Name[i] == ':') {
      return false;
    }
  }
  return true;
}

bool PathExists(LPCWSTR Path) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(Path, &data);
  if (search == INVALID_HANDLE_VALUE) {
    return false;
  }
  // A folder of that name is no file to read or delete.
  bool file = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  while (!file && FindNextFileW(search, &data)) {
    file = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
  FindClose(search);
  return file;
}
