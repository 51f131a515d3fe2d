// The directory browser behind GetFile: its state (the directory shown, its entries, the filter)
// and the steps that change it, kept apart from the curses drawing so they work without a screen.
#pragma once

#include <climits>
#include <dirent.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---- state --------------------------------------------------------------------------------------

// Absolute path of the directory shown, as getcwd reports it ("/" at the root, no trailing "/");
// "." when the system cannot report it (a path longer than PATH_MAX, a removed directory).
extern char gcDirPath[PATH_MAX];
// The chosen file's path: gcDirPath, "/" and a name of up to NAME_MAX bytes always fit.
extern char gcRetPath[PATH_MAX + NAME_MAX + 2];
// Name filter of the current call: a plain, case-sensitive substring; none lists every file.
extern std::optional<std::string> gpcFileType;
// Entries of the directory shown, in the order the directory yields them; ".." is always there.
extern std::vector<std::string> stNameList;
extern int nMaxChoice;

// Browser window: its size and where it sits on a screen that is large enough.
inline constexpr int kWinLines = 20;
inline constexpr int kWinCols = 50;
inline constexpr int kWinTop = 2;
inline constexpr int kWinLeft = 2;
inline constexpr int kListRows = 16; // window rows 2 to 17
inline constexpr int kListColumn = 2;
inline constexpr int kNameWidth = kWinCols - 1 - kListColumn; // up to the right border

// ---- directory steps ----------------------------------------------------------------------------

// 1 when `pcPath` (relative ones from the working directory) is a directory after following
// links; 0 otherwise, also for a name that cannot be examined (a dangling link).
int IsDir(const char* pcPath);
// Sets gcDirPath to the working directory, "/" and `pcName`. False, with gcDirPath unchanged,
// when that path would be too long for the system.
bool GetFilePath(const char* pcName);
// Builds stNameList and nMaxChoice from the stream, dropping "." and, with a filter, files whose
// names do not contain it.
void GetFileList(DIR* pDir);
// Lists gcDirPath; a directory that cannot be read lists as ".." alone, so the tester can go
// back. The status of closing the directory (-1 when it could not be opened).
int OpenDir();
// Enters the named directory (null: stays), reads the working directory back and lists it.
int SwitchDir(const char* pcName);

// ---- pure parts of the browser ------------------------------------------------------------------

// The filter a pattern gives: from its first "." to its end, or the whole pattern without one.
std::string FilterOf(std::string_view pattern);

// The entries that rows 2.. show: 1-based number of the first one and how many, from the
// highlight alone.
struct ViewRange {
    int first;
    int count;
};
ViewRange VisibleEntries(int highlight, int total);

enum class KeyAction { Redraw, Select, Leave };
struct KeyResult {
    KeyAction action;
    int highlight;
};
// What a key code does to the highlight (1..total).
KeyResult HandleKey(int key, int highlight, int total);

// The text written over the top border.
std::string TitleText(std::string_view dirPath);
// A list row: the name, "/" after a directory, cut at the window's inner edge; bytes a terminal
// would not show as one column each are written as "?".
std::string EntryLabel(std::string_view name, bool isDir);
// The chosen file's path: "/name" at the root, "dir/name" elsewhere.
std::string ResultPath(std::string_view dirPath, std::string_view name);

// Where the window goes on a screen of that size: at line 2, column 2 when there is room, moved
// up or left just enough to stay whole on a screen that holds the window but not its margin.
struct WindowOrigin {
    int top;
    int left;
};
WindowOrigin OriginFor(int screenLines, int screenCols);

// One key of the browser on the state: moves the highlight, enters a selected directory (the
// highlight back to 1), or ends. On Chosen, gcRetPath holds the chosen file's path.
enum class BrowserOutcome { Continue, Chosen, Left };
BrowserOutcome OnBrowserKey(int key, int& highlight);
