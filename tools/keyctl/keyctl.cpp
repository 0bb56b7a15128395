// keyctl: list the keys and send them control codes from the command line.
//   keyctl list
//   keyctl <key number from list> <command> [arguments]
// Commands: transact <hex> [out], transact-raw <hex> [out], transact-ex <value> <hex> [out],
// vendor-read <type> <request> <value> <index> <length> [out],
// vendor-write <type> <request> <value> <index> <hex>, read-interrupt [out],
// config-descriptor [out], info-block [out], query-info <selector> [out], probe <byte>,
// reset-port, reset-pipe, notify-change, unplug-open <port> <hex> [out].
// Numbers are decimal or 0x-hex.
// Each command prints: ok|failed error=<Win32 error> bytes=<count> <hex>.
// unplug-open keeps the key open while the bus unplugs <port>, waits until the
// key's interface is gone and sends transact-raw <hex> on the open handle: it
// prints the reply before and after the unplug.
// The virtual key bus, when installed:
//   keyctl bus-plug primary|legacy|secondary|unrecognised|disguised [pipes] [info-hex]
//                   [announce-extra]
//   (disguised: an unrecognised key whose PnP IDs name a primary one)
//   keyctl bus-unplug <port>
//   keyctl bus-fault <port> <kind: 0 out, 1 in, 2 interrupt, 3 reset> <count> <NTSTATUS>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "client/key_client.h"
#include "driver/ioctl.h"
#include "tools/keyctl/bus_control.h"
#include "tools/vkeybus/vkeybus_ioctl.h"

using keyclient::Bytes;

namespace {

int Usage();

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text)
    out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
  return out;
}

unsigned long Number(const std::string& text) {
  return std::strtoul(text.c_str(), nullptr, 0);
}

Bytes HexArg(const std::string& text) {
  auto bytes = keyclient::ParseHex(text == "-" ? "" : text);
  if (!bytes) {
    std::fprintf(stderr, "keyctl: '%s' is not hex\n", text.c_str());
    std::exit(2);
  }
  return *bytes;
}

struct Family {
  const char* name;
  unsigned short vid, pid, rev;
  unsigned short idVid, idPid;  // in the PnP IDs when not those of the descriptor
};

constexpr Family kFamilies[] = {{"primary", 0x7E31, 0x5A3C, 0x0400, 0, 0},
                                {"legacy", 0x7E21, 0x0014, 0x0300, 0, 0},
                                {"secondary", 0x7E21, 0x0013, 0x0100, 0, 0},
                                {"unrecognised", 0x7E21, 0x0015, 0x0100, 0, 0},
                                {"disguised", 0x7E21, 0x0015, 0x0100, 0x7E31, 0x5A3C}};

// An answer-to-reset with the version in its second and third historical bytes.
void DefaultInfo(VkeyPlug* plug, unsigned char high, unsigned char low) {
  const unsigned char historical[] = {0x4B, high, low, 0x54, 0x56, 0x34};
  unsigned char* b = plug->Info;
  unsigned n = 0;
  b[n++] = 0x3B;
  b[n++] = 0x90 | sizeof(historical);
  b[n++] = 0x11;
  b[n++] = 0x01;
  for (unsigned char h : historical)
    b[n++] = h;
  unsigned char check = 0;
  for (unsigned i = 1; i < n; ++i)
    check ^= b[i];
  b[n++] = check;
  plug->InfoLength = static_cast<unsigned char>(n);
}

void Print(const keyclient::Reply& reply) {
  std::printf("%s error=%lu bytes=%zu %s\n", reply.ok ? "ok" : "failed", reply.error,
              reply.data.size(), keyclient::Hex(reply.data).c_str());
}

using keyctl::BusControl;

template <typename T>
Bytes Raw(const T& value) {
  const auto* raw = reinterpret_cast<const uint8_t*>(&value);
  return Bytes(raw, raw + sizeof(value));
}

int Bus(const std::vector<std::string>& args) {
  auto arg = [&](size_t i, const char* fallback) {
    return i < args.size() ? args[i] : std::string(fallback);
  };
  Bytes input;
  DWORD code = 0;
  DWORD out = 0;
  if (args[0] == "bus-plug") {
    VkeyPlug plug = {};
    const Family* family = nullptr;
    for (const Family& f : kFamilies)
      if (arg(1, "primary") == f.name)
        family = &f;
    if (!family)
      return Usage();
    plug.VendorId = family->vid;
    plug.ProductId = family->pid;
    plug.Revision = family->rev;
    plug.IdVendor = family->idVid;
    plug.IdProduct = family->idPid;
    plug.Interfaces = 1;
    plug.Pipes = static_cast<unsigned char>(Number(arg(2, "1")));
    plug.Serial = 0x4B000000u | family->pid;
    plug.Secret = 0x5EC2E7u ^ family->pid;
    DefaultInfo(&plug, family->rev == 0x0300 ? 2 : static_cast<unsigned char>(family->rev >> 8),
                family->rev == 0x0300 ? 5 : 0);
    const std::string info = arg(3, "");
    if (!info.empty() && info != "-") {
      const Bytes bytes = HexArg(info);
      plug.InfoLength = static_cast<unsigned char>(bytes.size() > 64 ? 64 : bytes.size());
      for (unsigned i = 0; i < plug.InfoLength; ++i)
        plug.Info[i] = bytes[i];
    }
    plug.AnnounceExtra = static_cast<unsigned short>(Number(arg(4, "0")));
    input = Raw(plug);
    code = IOCTL_VKEYBUS_PLUG;
    out = sizeof(ULONG);
  } else if (args[0] == "bus-unplug") {
    input = Raw(static_cast<ULONG>(Number(arg(1, "0"))));
    code = IOCTL_VKEYBUS_UNPLUG;
  } else if (args[0] == "bus-fault") {
    VkeyFault fault = {static_cast<unsigned long>(Number(arg(1, "0"))),
                       static_cast<unsigned long>(Number(arg(2, "0"))),
                       static_cast<unsigned long>(Number(arg(3, "1"))),
                       static_cast<long>(Number(arg(4, "0xC0000001")))};
    input = Raw(fault);
    code = IOCTL_VKEYBUS_FAULT;
  } else {
    return Usage();
  }
  const auto reply = BusControl(code, input, out);
  Print(reply);
  return reply.ok ? 0 : 1;
}

bool Listed(const std::wstring& path) {
  for (const auto& key : keyclient::ListKeys())
    if (key.path == path)
      return true;
  return false;
}

// Unplugs a key while a handle to it is open; the handle's requests must fail.
int UnplugOpen(const std::wstring& path, ULONG port, const Bytes& command, DWORD out) {
  HANDLE key = keyclient::OpenKey(path);
  if (key == INVALID_HANDLE_VALUE) {
    std::printf("failed error=%lu bytes=0 (open)\n", GetLastError());
    return 1;
  }
  Print(keyclient::Control(key, IOCTL_KEY_TRANSACT_RAW, command, out));
  const auto unplugged = BusControl(IOCTL_VKEYBUS_UNPLUG, Raw(port), 0);
  for (int i = 0; i < 100 && unplugged.ok && Listed(path); ++i)
    Sleep(100);
  const bool gone = !Listed(path);
  const auto after = keyclient::Control(key, IOCTL_KEY_TRANSACT_RAW, command, out);
  CloseHandle(key);
  std::printf("unplugged=%s listed=%s\n", unplugged.ok ? "yes" : "no", gone ? "no" : "yes");
  Print(after);
  return after.ok ? 1 : 0;
}

int Usage() {
  std::fprintf(stderr, "usage: keyctl list | keyctl <key> <command> [arguments]\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i)
    args.push_back(Narrow(argv[i]));
  if (!args.empty() && args[0].rfind("bus-", 0) == 0)
    return Bus(args);
  const auto keys = keyclient::ListKeys();
  if (args.size() == 1 && args[0] == "list") {
    for (size_t i = 0; i < keys.size(); ++i)
      std::printf("%zu %s %ls\n", i, keys[i].kind, keys[i].path.c_str());
    return 0;
  }
  if (args.size() < 2)
    return Usage();
  const size_t index = Number(args[0]);
  if (index >= keys.size()) {
    std::fprintf(stderr, "keyctl: no key %s\n", args[0].c_str());
    return 2;
  }
  const std::string& command = args[1];
  auto arg = [&](size_t i, const char* fallback) {
    return i + 2 < args.size() ? args[i + 2] : std::string(fallback);
  };
  DWORD code = 0;
  Bytes input;
  DWORD out = 0;
  if (command == "transact" || command == "transact-raw") {
    code = command == "transact" ? IOCTL_KEY_TRANSACT : IOCTL_KEY_TRANSACT_RAW;
    input = HexArg(arg(0, "-"));
    out = Number(arg(1, "64"));
  } else if (command == "transact-ex") {
    code = IOCTL_KEY_TRANSACT_EX;
    input = keyclient::TransactEx(static_cast<uint8_t>(Number(arg(0, "0"))), HexArg(arg(1, "-")));
    out = Number(arg(2, "64"));
  } else if (command == "vendor-read") {
    code = IOCTL_KEY_VENDOR_READ;
    input = keyclient::SetupPacket(Number(arg(0, "0xC0")), Number(arg(1, "0")), Number(arg(2, "0")),
                                   Number(arg(3, "0")), Number(arg(4, "64")));
    out = Number(arg(5, "64"));
  } else if (command == "vendor-write") {
    code = IOCTL_KEY_VENDOR_WRITE;
    input = keyclient::VendorWrite(Number(arg(0, "0x40")), Number(arg(1, "0")), Number(arg(2, "0")),
                                   Number(arg(3, "0")), HexArg(arg(4, "-")));
  } else if (command == "read-interrupt" || command == "config-descriptor" ||
             command == "info-block") {
    code = command == "read-interrupt"      ? IOCTL_KEY_READ_INTERRUPT
           : command == "config-descriptor" ? IOCTL_KEY_GET_CONFIG_DESCRIPTOR
                                            : IOCTL_KEY_GET_INFO_BLOCK;
    out = Number(arg(0, command == "read-interrupt" ? "8" : "1024"));
  } else if (command == "query-info") {
    code = IOCTL_KEY_QUERY_INFO;
    input = {static_cast<uint8_t>(Number(arg(0, "0")))};
    out = Number(arg(1, "65"));
  } else if (command == "probe") {
    code = IOCTL_KEY_PROBE;
    input = {static_cast<uint8_t>(Number(arg(0, "1")))};
  } else if (command == "unplug-open") {
    return UnplugOpen(keys[index].path, Number(arg(0, "0")), HexArg(arg(1, "01")),
                      Number(arg(2, "64")));
  } else if (command == "reset-port" || command == "reset-pipe" || command == "notify-change") {
    code = command == "reset-port"   ? IOCTL_KEY_RESET_PORT
           : command == "reset-pipe" ? IOCTL_KEY_RESET_PIPE
                                     : IOCTL_KEY_NOTIFY_CHANGE;
  } else {
    return Usage();
  }
  HANDLE key = keyclient::OpenKey(keys[index].path);
  if (key == INVALID_HANDLE_VALUE) {
    std::printf("failed error=%lu bytes=0 (open)\n", GetLastError());
    return 1;
  }
  const auto reply = keyclient::Control(key, code, input, out);
  CloseHandle(key);
  Print(reply);
  return reply.ok ? 0 : 1;
}
