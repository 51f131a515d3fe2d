// The browser's state and the steps that change it; nothing here draws.
#include "menu/chooser/browser.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <curses.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

char gcDirPath[PATH_MAX] = ".";
char gcRetPath[PATH_MAX + NAME_MAX + 2] = "";
std::optional<std::string> gpcFileType;
std::vector<std::string> stNameList{".."};
int nMaxChoice = 1;

namespace {

constexpr std::string_view kParent = "..";

// Copies `path` whole into `out`, or nothing when it does not fit.
template <std::size_t N> bool CopyPath(std::string_view path, char (&out)[N]) {
    if (path.size() >= N) {
        return false;
    }
    path.copy(out, path.size());
    out[path.size()] = '\0';
    return true;
}

// gcDirPath from getcwd, or "." when the system cannot give the path (every later path is then
// built relative to the working directory, which is still right).
void ReadWorkingDir() {
    if (getcwd(gcDirPath, sizeof gcDirPath) == nullptr) {
        CopyPath(".", gcDirPath);
    }
}

bool Keeps(std::string_view name) {
    if (!gpcFileType) {
        return true;
    }
    // Cheapest test first: stat only for names the filter would drop.
    return name.find(*gpcFileType) != std::string_view::npos || name == kParent ||
           IsDir(std::string(name).c_str()) == 1;
}

void InstallList(std::vector<std::string> names) {
    if (std::find(names.begin(), names.end(), kParent) == names.end()) {
        names.insert(names.begin(), std::string(kParent));
    }
    stNameList = std::move(names); // the earlier list goes here
    nMaxChoice = static_cast<int>(stNameList.size());
}

char Shown(char ch) {
    const auto byte = static_cast<unsigned char>(ch);
    return byte >= 0x20 && byte < 0x7f ? ch : '?';
}

std::string ShownText(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), Shown);
    return out;
}

} // namespace

int IsDir(const char* pcPath) {
    struct stat st {};
    if (pcPath == nullptr || stat(pcPath, &st) != 0) {
        return 0;
    }
    return (st.st_mode & S_IFMT) == S_IFDIR ? 1 : 0;
}

bool GetFilePath(const char* pcName) {
    char cwd[PATH_MAX];
    const char* base = getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
    const std::string path = std::string(base) + '/' + pcName;
    return CopyPath(path, gcDirPath);
}

void GetFileList(DIR* pDir) {
    std::vector<std::string> names;
    try {
        names.reserve(64);
        while (const dirent* entry = readdir(pDir)) {
            const std::string_view name = entry->d_name;
            if (name != "." && Keeps(name)) {
                names.emplace_back(name);
            }
        }
    } catch (const std::bad_alloc&) {
        // Out of memory part way: offer the way back rather than a half list.
        names.clear();
    }
    // A read error ends the loop like the end of the directory: what was read is shown.
    InstallList(std::move(names));
}

int OpenDir() {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(gcDirPath), closedir);
    if (!dir) {
        InstallList({});
        return -1;
    }
    GetFileList(dir.get());
    return closedir(dir.release());
}

int SwitchDir(const char* pcName) {
    if (pcName != nullptr && GetFilePath(pcName) && chdir(gcDirPath) != 0) {
        // Not entered: reading the working directory back below lists the same one afresh.
    }
    ReadWorkingDir();
    return OpenDir();
}

std::string FilterOf(std::string_view pattern) {
    const auto dot = pattern.find('.');
    return std::string(dot == std::string_view::npos ? pattern : pattern.substr(dot));
}

ViewRange VisibleEntries(int highlight, int total) {
    const int first = highlight <= kListRows ? 1 : highlight - (kListRows - 1);
    const int count = std::clamp(total - first + 1, 0, kListRows);
    return {first, count};
}

KeyResult HandleKey(int key, int highlight, int total) {
    if (total < 1) {
        total = 1;
    }
    const int c = std::clamp(highlight, 1, total);
    switch (key) {
    case '\n':
    case ' ':
        return {KeyAction::Select, c};
    case 27:  // Esc
    case ERR: // the terminal is gone: nothing more will come
        return {KeyAction::Leave, c};
    case KEY_DOWN:
        return {KeyAction::Redraw, c == total ? 1 : c + 1};
    case KEY_UP:
        return {KeyAction::Redraw, c == 1 ? total : c - 1};
    case KEY_NPAGE:
        return {KeyAction::Redraw, std::min(c + kListRows, total)};
    case KEY_PPAGE:
        return {KeyAction::Redraw, std::max(c - kListRows, 1)};
    default:
        return {KeyAction::Redraw, c};
    }
}

std::string TitleText(std::string_view dirPath) {
    constexpr std::size_t kFullUpTo = 40;
    constexpr std::size_t kTail = 35;
    if (dirPath == "/") {
        return " /  ";
    }
    if (dirPath.size() <= kFullUpTo) {
        return " " + ShownText(dirPath) + "/  ";
    }
    return " ... " + ShownText(dirPath.substr(dirPath.size() - kTail)) + "/  ";
}

std::string EntryLabel(std::string_view name, bool isDir) {
    std::string label = ShownText(name);
    if (isDir) {
        label += '/';
    }
    if (label.size() > static_cast<std::size_t>(kNameWidth)) {
        label.resize(kNameWidth);
    }
    return label;
}

std::string ResultPath(std::string_view dirPath, std::string_view name) {
    std::string path(dirPath);
    if (dirPath != "/") {
        path += '/';
    }
    path += name;
    return path;
}

WindowOrigin OriginFor(int screenLines, int screenCols) {
    return {std::clamp(screenLines - kWinLines, 0, kWinTop),
            std::clamp(screenCols - kWinCols, 0, kWinLeft)};
}

BrowserOutcome OnBrowserKey(int key, int& highlight) {
    const KeyResult result = HandleKey(key, highlight, nMaxChoice);
    highlight = result.highlight;
    if (result.action == KeyAction::Leave) {
        return BrowserOutcome::Left;
    }
    if (result.action == KeyAction::Redraw) {
        return BrowserOutcome::Continue;
    }
    // Copied: entering a directory replaces the list the name lives in.
    const std::string name = stNameList.at(static_cast<std::size_t>(highlight - 1));
    if (IsDir(name.c_str()) == 1) {
        SwitchDir(name.c_str());
        highlight = 1;
        return BrowserOutcome::Continue;
    }
    // Always fits: a directory path below PATH_MAX, "/" and a name of at most NAME_MAX bytes.
    CopyPath(ResultPath(gcDirPath, name), gcRetPath);
    return BrowserOutcome::Chosen;
}
