// ProviderProbe: answers, from a process of its own, whether a provider library is usable, through the exit
// code; or shows a text in a top-most information box. It shares nothing with KTWSession.
//
//   ProviderProbe -c <library>   156: IsProviderOK() answered nonzero; 166: it answered zero or is missing;
//                                -1 (255 as a Linux exit status): the library cannot be loaded
//   ProviderProbe -t <text>      shows the text captioned "提示" and exits with 0 once the box is closed
//
// The option is compared without regard to case. Any other option, and any other number of arguments, does
// nothing and exits with 0. Nothing is logged: the exit code is the only report.
#include "winapi/windows.h"

#include <string>
#include <vector>

namespace {

constexpr int provider_ok = 156;
constexpr int provider_not_ok = 166;
constexpr int provider_unloadable = -1;

typedef int(WINAPI* IsProviderOKProc)();

int probe_provider(const std::u16string& path) {
    HMODULE module = LoadLibraryW(path.c_str());
    if (!module) {
        return provider_unloadable;
    }
    int answer = 0;
    if (auto is_provider_ok = (IsProviderOKProc)(void*)GetProcAddress(module, "IsProviderOK")) {
        answer = is_provider_ok();
    }
    FreeLibrary(module);
    return answer != 0 ? provider_ok : provider_not_ok;
}

bool is_option(const std::u16string& argument, const char16_t* option) {
    std::u16string wanted(option);
    if (argument.size() != wanted.size()) {
        return false;
    }
    for (size_t i = 0; i < wanted.size(); ++i) {
        char16_t c = argument[i];
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
        if (c != wanted[i]) {
            return false;
        }
    }
    return true;
}

// Reached with exactly two arguments after the program name.
int dispatch_option(const std::vector<std::u16string>& arguments) {
    if (is_option(arguments[1], u"-c")) {
        return probe_provider(arguments[2]);
    }
    if (is_option(arguments[1], u"-t")) {
        MessageBoxW(nullptr, arguments[2].c_str(), u"提示", MB_TOPMOST | MB_ICONINFORMATION);
    }
    return 0;
}

int probe_main(const std::vector<std::u16string>& arguments) {
    if (arguments.size() != 3) {
        return 0;
    }
    return dispatch_option(arguments);
}

std::u16string wide(const char* text) {
    int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (units <= 0) {
        return std::u16string();
    }
    std::u16string out(static_cast<size_t>(units), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), units);
    out.pop_back();  // the terminator counted by -1
    return out;
}

}  // namespace

// The system hands the arguments over already split, so there is no command line to take apart.
int main(int argc, char** argv) {
    std::vector<std::u16string> arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(wide(argv[i]));
    }
    return probe_main(arguments);
}
