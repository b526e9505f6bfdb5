// orvo-reg: the prefix's registry from the command line, in the manner of reg.exe. The
// prefix is ORVO_PREFIX (as for the installer).
//
//   orvo-reg query  KEY [/v NAME | /ve] [/s]
//   orvo-reg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
//   orvo-reg delete KEY [/v NAME | /ve | /va] [/f]
//   orvo-reg export KEY
//
// KEY is HKLM\path or HKCU\path (or HKEY_LOCAL_MACHINE\..., HKEY_CURRENT_USER\...). TYPE is
// REG_SZ (default), REG_EXPAND_SZ, REG_DWORD, REG_QWORD or REG_BINARY (DATA in hex
// digits); numbers are decimal or 0x-prefixed hexadecimal. Options may start with / or -.
// Exit code 0 on success, 1 on any error (with a message on stderr).
#include <iostream>
#include <string>
#include <vector>

#include "platform/text.h"
#include "tools/reg/commands.h"

namespace {

const char kUsage[] =
    "usage: orvo-reg query  KEY [/v NAME | /ve] [/s]\n"
    "       orvo-reg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
    "       orvo-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "       orvo-reg export KEY\n"
    "KEY: HKLM\\... or HKCU\\... (also HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER)\n"
    "TYPE: REG_SZ (default), REG_EXPAND_SZ, REG_DWORD, REG_QWORD, REG_BINARY\n";

int UsageError(const std::string& message) {
  std::cerr << "ERROR: " << message << "\n" << kUsage;
  return 1;
}

bool IsOption(const std::wstring& arg, const wchar_t* name) {
  return arg.size() >= 2 && (arg[0] == L'/' || arg[0] == L'-') &&
         platform::EqualsNoCase(std::wstring_view(arg).substr(1), name);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(platform::Utf8ToWide(argv[i]));
  if (args.empty() || IsOption(args[0], L"?") || IsOption(args[0], L"h") || args[0] == L"--help") {
    std::cout << kUsage;
    return args.empty() ? 1 : 0;
  }
  const std::wstring command = platform::AsciiLower(args[0]);
  if (command != L"query" && command != L"add" && command != L"delete" && command != L"export") {
    return UsageError("Unknown operation " + platform::WideToUtf8(args[0]) + ".");
  }
  if (args.size() < 2) return UsageError("Name a key.");
  auto key = orvoreg::ParseKeyPath(args[1]);
  if (!key) {
    return UsageError("Invalid key name " + platform::WideToUtf8(args[1]) +
                      ": it must start with HKLM, HKCU, HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER.");
  }

  orvoreg::Options options;
  // The options each operation takes.
  const std::wstring allowed = command == L"query"    ? L" v ve s "
                               : command == L"add"    ? L" v ve t d f "
                               : command == L"delete" ? L" v ve va f "
                                                      : L" ";
  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::wstring& arg = args[i];
    if (IsOption(arg, L"reg:32") || IsOption(arg, L"reg:64")) continue;  // one view here
    const wchar_t* name = nullptr;
    for (const wchar_t* candidate : {L"v", L"ve", L"va", L"s", L"t", L"d", L"f"}) {
      if (IsOption(arg, candidate)) name = candidate;
    }
    if (name == nullptr || allowed.find(L" " + std::wstring(name) + L" ") == std::wstring::npos) {
      return UsageError("Invalid option " + platform::WideToUtf8(arg) + " for " + platform::WideToUtf8(command) + ".");
    }
    const std::wstring option(name);
    const bool takesArgument = option == L"v" || option == L"t" || option == L"d";
    if (takesArgument && i + 1 >= args.size()) {
      return UsageError("Option " + platform::WideToUtf8(arg) + " needs a value.");
    }
    const bool valueChosen = options.valueName.has_value() || options.allValues;
    if ((option == L"v" || option == L"ve" || option == L"va") && valueChosen) {
      return UsageError("Give only one of /v, /ve and /va.");
    }
    if (option == L"v") options.valueName = args[++i];
    if (option == L"ve") options.valueName = L"";
    if (option == L"va") options.allValues = true;
    if (option == L"s") options.recursive = true;
    if (option == L"t") options.type = args[++i];
    if (option == L"d") options.data = args[++i];
    if (option == L"f") options.force = true;
  }

  if (command == L"query") return orvoreg::Query(*key, options);
  if (command == L"add") return orvoreg::Add(*key, options);
  if (command == L"delete") return orvoreg::Delete(*key, options);
  return orvoreg::Export(*key);
}
