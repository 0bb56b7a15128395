// catreader.exe: reads a catalog through wintrust's catalog functions.
//   catreader CATALOG [FILE...]
// Prints one line per member: `member <tag> <algorithm OID> <file name or ->`,
// then for every FILE the hash that CryptCATAdminCalcHashFromFileHandle
// computes for it (SHA-1) and whether a member carries that hash:
// `found <file> <hash>` or `missing <file> <hash>`. Where the system has
// CryptCATAdminCalcHashFromFileHandle2 the SHA-256 hash is looked up too.
// Wine 8 hashes every byte of a PE image where Windows leaves out what signing
// rewrites (the checksum, the certificate table's directory entry, the table);
// when a PE image's hash is not in the catalog, catreader hands wintrust those
// image bytes alone and reports a match as `found <file> <hash> image`.
// Exit value: 0 when every FILE was found, 1 when one was not, 2 when the
// catalog could not be read.
#include <windows.h>
#include <mscat.h>
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

namespace {

constexpr DWORD kMaxMembers = 256;
constexpr DWORD kMaxDigest = 64;

struct Member {
  BYTE digest[kMaxDigest];
  DWORD digest_size;
  wchar_t name[MAX_PATH];
};

struct Catalog {
  Member members[kMaxMembers];
  DWORD count;
};

void PrintHex(const BYTE* bytes, DWORD size) {
  for (DWORD i = 0; i < size; ++i)
    wprintf(L"%02X", bytes[i]);
}

// The member's "File" attribute, where the system reads member attributes.
void MemberFileName(HANDLE cat, CRYPTCATMEMBER* member, wchar_t* name) {
  name[0] = 0;
  if (member->pwszFileName && member->pwszFileName[0]) {
    wcsncpy(name, member->pwszFileName, MAX_PATH - 1);
    name[MAX_PATH - 1] = 0;
    return;
  }
  wchar_t file_tag[] = L"File";
  CRYPTCATATTRIBUTE* attr = CryptCATGetAttrInfo(cat, member, file_tag);
  if (attr && attr->pbValue && attr->cbValue >= sizeof(wchar_t)) {
    DWORD chars = attr->cbValue / sizeof(wchar_t);
    if (chars > MAX_PATH - 1)
      chars = MAX_PATH - 1;
    wcsncpy(name, reinterpret_cast<const wchar_t*>(attr->pbValue), chars);
    name[chars] = 0;
  }
}

bool ReadMembers(const wchar_t* path, Catalog* catalog) {
  HANDLE cat = CryptCATOpen(const_cast<wchar_t*>(path), CRYPTCAT_OPEN_EXISTING, 0, 0, 0);
  if (cat == INVALID_HANDLE_VALUE) {
    fwprintf(stderr, L"catreader: CryptCATOpen %ls failed, error %lu\n", path, GetLastError());
    return false;
  }
  catalog->count = 0;
  for (CRYPTCATMEMBER* m = CryptCATEnumerateMember(cat, nullptr); m;
       m = CryptCATEnumerateMember(cat, m)) {
    if (!m->pIndirectData || catalog->count == kMaxMembers)
      continue;
    Member* out = &catalog->members[catalog->count++];
    const CRYPT_HASH_BLOB& digest = m->pIndirectData->Digest;
    out->digest_size = digest.cbData < kMaxDigest ? digest.cbData : kMaxDigest;
    memcpy(out->digest, digest.pbData, out->digest_size);
    MemberFileName(cat, m, out->name);
    const char* alg = m->pIndirectData->DigestAlgorithm.pszObjId;
    wprintf(L"member %ls %hs %ls\n", m->pwszReferenceTag ? m->pwszReferenceTag : L"-",
            alg ? alg : "-", out->name[0] ? out->name : L"-");
  }
  CryptCATClose(cat);
  return catalog->count > 0;
}

const Member* FindDigest(const Catalog& catalog, const BYTE* digest, DWORD size) {
  for (DWORD i = 0; i < catalog.count; ++i) {
    const Member& m = catalog.members[i];
    if (m.digest_size == size && memcmp(m.digest, digest, size) == 0)
      return &m;
  }
  return nullptr;
}

const wchar_t* BaseName(const wchar_t* path) {
  const wchar_t* base = path;
  for (const wchar_t* p = path; *p; ++p) {
    if (*p == L'\\' || *p == L'/')
      base = p + 1;
  }
  return base;
}

// Reports one hash of a file; true when a member of the same file carries it.
bool Report(const Catalog& catalog, const wchar_t* file, const BYTE* digest, DWORD size,
            const wchar_t* how) {
  const Member* m = FindDigest(catalog, digest, size);
  bool named = m && (!m->name[0] || _wcsicmp(m->name, BaseName(file)) == 0);
  wprintf(L"%ls %ls ", named ? L"found" : (m ? L"misnamed" : L"missing"), file);
  PrintHex(digest, size);
  wprintf(L"%ls\n", how);
  return named;
}

uint32_t Le32(const BYTE* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The file's bytes that an Authenticode image hash covers, or 0 when it is no
// PE image. `image` receives at most `capacity` bytes.
DWORD ImageBytes(const BYTE* data, DWORD size, BYTE* image, DWORD capacity) {
  if (size < 0x40 || data[0] != 'M' || data[1] != 'Z')
    return 0;
  DWORD pe = Le32(data + 0x3c);
  if (pe > size || size - pe < 26 || Le32(data + pe) != 0x4550)
    return 0;
  DWORD optional = pe + 24;
  DWORD magic = data[optional] | data[optional + 1] << 8;
  DWORD directories = magic == 0x20b ? optional + 112 : magic == 0x10b ? optional + 96 : 0;
  if (!directories || directories + 40 > size || Le32(data + directories - 4) <= 4)
    return 0;
  DWORD checksum = optional + 64;
  DWORD security = directories + 32;
  DWORD end = size;
  DWORD table = Le32(data + security), table_size = Le32(data + security + 4);
  if (table_size) {
    if (table < security + 8 || table > size || table_size > size - table)
      return 0;
    end = table;
  }
  DWORD length = end - 12;
  if (length > capacity)
    return 0;
  BYTE* out = image;
  memcpy(out, data, checksum);
  out += checksum;
  memcpy(out, data + checksum + 4, security - (checksum + 4));
  out += security - (checksum + 4);
  memcpy(out, data + security + 8, end - (security + 8));
  return length;
}

// Wintrust's hash of the image bytes of a PE file, through a temporary file.
bool ImageHash(HANDLE file, BYTE* digest, DWORD* digest_size) {
  DWORD size = GetFileSize(file, nullptr);
  if (size == INVALID_FILE_SIZE || size > (64u << 20))
    return false;
  BYTE* data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size * 2 + 1));
  if (!data)
    return false;
  DWORD read = 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  bool ok = ReadFile(file, data, size, &read, nullptr) && read == size;
  DWORD length = ok ? ImageBytes(data, size, data + size, size) : 0;
  wchar_t folder[MAX_PATH], path[MAX_PATH];
  HANDLE temp = INVALID_HANDLE_VALUE;
  if (length && GetTempPathW(MAX_PATH, folder) && GetTempFileNameW(folder, L"cat", 0, path)) {
    temp = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  }
  ok = false;
  if (temp != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    if (WriteFile(temp, data + size, length, &written, nullptr) && written == length) {
      SetFilePointer(temp, 0, nullptr, FILE_BEGIN);
      ok = CryptCATAdminCalcHashFromFileHandle(temp, digest_size, digest, 0) != FALSE;
    }
    CloseHandle(temp);
  }
  HeapFree(GetProcessHeap(), 0, data);
  return ok;
}

using AcquireContext2 = BOOL(WINAPI*)(HCATADMIN*, const GUID*, PCWSTR, const void*, DWORD);
using CalcHash2 = BOOL(WINAPI*)(HCATADMIN, HANDLE, DWORD*, BYTE*, DWORD);
using ReleaseContext = BOOL(WINAPI*)(HCATADMIN, DWORD);

// The SHA-256 hash, where wintrust can compute one.
bool Sha256Of(HANDLE file, BYTE* digest, DWORD* size) {
  HMODULE wintrust = GetModuleHandleW(L"wintrust.dll");
  auto acquire = reinterpret_cast<AcquireContext2>(
      reinterpret_cast<void*>(GetProcAddress(wintrust, "CryptCATAdminAcquireContext2")));
  auto calc = reinterpret_cast<CalcHash2>(
      reinterpret_cast<void*>(GetProcAddress(wintrust, "CryptCATAdminCalcHashFromFileHandle2")));
  auto release = reinterpret_cast<ReleaseContext>(
      reinterpret_cast<void*>(GetProcAddress(wintrust, "CryptCATAdminReleaseContext")));
  if (!acquire || !calc || !release)
    return false;
  HCATADMIN admin = nullptr;
  if (!acquire(&admin, nullptr, L"SHA256", nullptr, 0))
    return false;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  BOOL ok = calc(admin, file, size, digest, 0);
  release(admin, 0);
  return ok != FALSE;
}

bool CheckFile(const Catalog& catalog, const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    wprintf(L"unreadable %ls\n", path);
    return false;
  }
  BYTE digest[kMaxDigest];
  DWORD size = sizeof digest;
  bool ok = CryptCATAdminCalcHashFromFileHandle(file, &size, digest, 0) != FALSE;
  if (!ok) {
    wprintf(L"unhashed %ls error=%lu\n", path, GetLastError());
  } else if (FindDigest(catalog, digest, size)) {
    ok = Report(catalog, path, digest, size, L"");
  } else {
    DWORD image_size = sizeof digest;
    BYTE image[kMaxDigest];
    if (ImageHash(file, image, &image_size)) {
      ok = Report(catalog, path, image, image_size, L" image");
    } else {
      ok = Report(catalog, path, digest, size, L"");
    }
  }
  size = sizeof digest;
  if (Sha256Of(file, digest, &size))
    ok = Report(catalog, path, digest, size, L"") && ok;
  CloseHandle(file);
  return ok;
}

// Wine 8 opens a truncated catalog and then faults in CryptCATEnumerateMember;
// a fault while reading counts as a catalog that cannot be read.
LONG WINAPI ReadFault(EXCEPTION_POINTERS* info) {
  fwprintf(stderr, L"catreader: fault 0x%08lX while reading the catalog\n",
           info->ExceptionRecord->ExceptionCode);
  fflush(stdout);
  ExitProcess(2);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fwprintf(stderr, L"usage: catreader CATALOG [FILE...]\n");
    return 2;
  }
  static Catalog catalog;
  SetUnhandledExceptionFilter(ReadFault);
  if (!ReadMembers(argv[1], &catalog))
    return 2;
  bool all = true;
  for (int i = 2; i < argc; ++i)
    all = CheckFile(catalog, argv[i]) && all;
  return all ? 0 : 1;
}
