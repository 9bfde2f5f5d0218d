#pragma once

#include <QString>
#include <limits>
#include <span>
#include <string_view>

namespace qvm {

// Every "Constants" key of the language files that the program asks for, in
// one place, with the text of the English file. The shipped language files must
// hold all of them (a test checks every lang/*.lng against this table), so code
// that looks a text up uses these constants instead of writing key names.
//
// Each list below is the only place where a key is written; it produces both a
// named constant (keys::http::Stopped, keys::error::MEMORY, ...) and its row in
// LanguageKeyTable(). A key name is exactly what the lookup is given: the file
// holds the group, a dot and the name ("HTTP.Stopped"). Names that are not
// valid identifiers get a close identifier ("LabBreakTime.Hint" is
// LabBreakTime_Hint, "ILLPARAM:" is ILLPARAM).
//
// The English text is what lang/QVMirelta.English.lng holds and, for the groups
// whose lookups carry a default in code (Button, HTTP, Error and plain keys, and
// the MSG hints of the channel pages), that default.

enum class KeyGroup { Plain, Dialog, Button, MSG, HTTP, Error };

struct LanguageKey {
    KeyGroup group;
    std::string_view name;     // without the group, e.g. "Stopped"
    std::string_view english;  // UTF-8

    // "HTTP" for KeyGroup::HTTP, empty for plain keys.
    QString groupName() const;
    QString keyName() const;
    // The key as written in a language file: "HTTP.Stopped", "Error.MEMORY"
    // (lookups trim names as the file reader does, so "MEMORY " is "MEMORY").
    QString fileKey() const;
    QString englishText() const;
};

QString KeyGroupName(KeyGroup group);

inline constexpr int kNoErrorCode = std::numeric_limits<int>::min();

// clang-format off

// Message-box texts and dialog titles; the code has no default for them.
#define QVM_DIALOG_KEYS(X) \
    X(Exit,          "Exit",          "Stop playing and exit the program?") \
    X(Define1URL,    "Define1URL",    "Define at least one stream URL.") \
    X(DefPID,        "DefPID",        "Enter a PID from 1 to 32767 for the interactive mode.") \
    X(SelectDevice,  "SelectDevice",  "Select a play device.") \
    X(SelectBitrate, "SelectBitrate", "Select a sample rate for the play device.") \
    X(OpenFile,      "OpenFile",      "Open file") \
    X(SelectFolder,  "SelectFolder",  "Select folder") \
    X(WARNING,       "WARNING",       "Warning") \
    X(ERROR,         "ERROR",         "Error") \
    X(INFORMATION,   "INFORMATION",   "Information") \
    X(CONFIRM,       "CONFIRM",       "Confirm") \
    X(SHOWFLAG,      "SHOWFLAG",      "Do not display this message again")

// Button captions and button hints of message boxes and file dialogs.
#define QVM_BUTTON_KEYS(X) \
    X(YES,            "YES",            "&Yes") \
    X(NO,             "NO",             "&No") \
    X(OK,             "OK",             "OK") \
    X(CANCEL,         "CANCEL",         "Cancel") \
    X(ABORT,          "ABORT",          "&Abort") \
    X(RETRY,          "RETRY",          "&Retry") \
    X(IGNORE,         "IGNORE",         "&Ignore") \
    X(ALL,            "ALL",            "&All") \
    X(NOTOALL,        "NOTOALL",        "N&oToAll") \
    X(YESTOALL,       "YESTOALL",       "&YesToAll") \
    X(HELP,           "HELP",           "&Help") \
    X(OPEN,           "OPEN",           "&Open") \
    X(SAVE,           "SAVE",           "&Save") \
    X(CLOSE,          "CLOSE",          "Close") \
    X(BACK_HINT,      "BACK_HINT",      "Go To Last Folder Visited") \
    X(UP_HINT,        "UP_HINT",        "Up One Level") \
    X(NEWFOLDER_HINT, "NEWFOLDER_HINT", "Create New Folder") \
    X(VIEWMENU_HINT,  "VIEWMENU_HINT",  "View Menu") \
    X(STRETCH_HINT,   "STRETCH_HINT",   "Stretch Picture")

// Status words, channel-page texts and hints, file-dialog texts.
#define QVM_MSG_KEYS(X) \
    X(PlayChannel,       "PlayChannel",       "On air: channel") \
    X(Error,             "Error",             "Error") \
    X(Connect,           "Connect",           "Connect") \
    X(Stop,              "Stop",              "Stop") \
    X(Silence,           "Silence",           "Silence") \
    X(Online,            "Online",            "Online") \
    X(Buffer,            "Buffer",            "Buffer") \
    X(Mono,              "Mono",              "Mono") \
    X(Stereo,            "Stereo",            "Stereo") \
    X(Stalled,           "Stalled",           "The buffer ran empty, the stream stalled") \
    X(Rejoined,          "Rejoined",          "Connection lost and restored before the buffer ran empty, without a gap") \
    X(RejoinedGap,       "RejoinedGap",       "Connection lost and restored before the buffer ran empty, with a short gap") \
    X(LatePeriods,       "LatePeriods",       "Sound device: periods played late in the last minute:") \
    X(DeviceLost,        "DeviceLost",        "lost, waiting for it") \
    X(DeviceBack,        "DeviceBack",        "back") \
    X(PluginFailed,      "PluginFailed",      "DSP plug-in not loaded:") \
    X(LabBreakTime_Hint, "LabBreakTime.Hint", "Time from connect") \
    X(LabPlayTime_Hint,  "LabPlayTime.Hint",  "Playtime") \
    X(LabToConnect_Hint, "LabToConnect.Hint", "Time to reconnect") \
    X(ImgSilence_Hint,   "ImgSilence.Hint",   "Silence and connection detector") \
    X(Channel,           "Channel",           "Channel") \
    X(ChannelSh,         "ChannelSh",         "Ch.") \
    X(FILENAME,          "FILENAME",          "File name:") \
    X(FILETYPE,          "FILETYPE",          "File type:") \
    X(NEWFOLDER,         "NEWFOLDER",         "New Folder") \
    X(LV_DETAILS,        "LV_DETAILS",        "Details") \
    X(LV_ICON,           "LV_ICON",           "Large icons") \
    X(LV_SMALLICON,      "LV_SMALLICON",      "Small icons") \
    X(LV_LIST,           "LV_LIST",           "List") \
    X(PREVIEWSKIN,       "PREVIEWSKIN",       "Preview") \
    X(PREVIEWBUTTON,     "PREVIEWBUTTON",     "Button")

// Texts of the HTTP command and status pages.
#define QVM_HTTP_KEYS(X) \
    X(Stopped,        "Stopped",        "Stopped") \
    X(AlreadyStopped, "AlreadyStopped", "Already stopped") \
    X(Started,        "Started",        "Started") \
    X(AlreadyPlay,    "AlreadyPlay",    "Already playing") \
    X(Inaccessible,   "Inaccessible",   "Inaccessible") \
    X(StartStream,    "StartStream",    "Start stream #") \
    X(SwitchStream,   "SwitchStream",   "Switch to stream #") \
    X(InvalParm,      "InvalParm",      "Invalid parameter") \
    X(Back,           "Back",           "Back") \
    X(SystemTime,     "SystemTime",     "System time") \
    X(PlayStream,     "PlayStream",     "Play stream") \
    X(Manual,         "Manual",         "Manual") \
    X(Station,        "Station",        "Station") \
    X(Bitrate,        "Bitrate",        "Bitrate") \
    X(Title,          "Title",          "Title") \
    X(Stop,           "Stop",           "Stop") \
    X(Play,           "Play",           "Play") \
    X(Switch,         "Switch",         "Switch") \
    X(StreamsInfo,    "StreamsInfo",    "Streams information") \
    X(Number,         "Number",         "##") \
    X(URL,            "URL",            "URL") \
    X(Status,         "Status",         "Status") \
    X(PlayTime,       "PlayTime",       "Playtime") \
    X(Info,           "Info",           "Info") \
    X(Manage,         "Manage",         "Manage") \
    X(Message,        "Message",        "Message or title") \
    X(Silence,        "Silence",        "Silence") \
    X(Online,         "Online",         "Online") \
    X(Error,          "Error",          "ERROR")

// Audio engine error texts, one per error code (ErrorTextKey), and the word put
// before the code (which is no code itself). "MEMORY " keeps its trailing blank and "ILLPARAM:" its colon.
#define QVM_ERROR_KEYS(X) \
    X(Code,     "Code",      "Code",                                            kNoErrorCode) \
    X(UNKNOWN,  "UNKNOWN",   "Some other mystery problem",                      -1) \
    X(OK,       "OK",        "All is OK",                                       0) \
    X(MEMORY,   "MEMORY ",   "Memory error",                                    1) \
    X(FILEOPEN, "FILEOPEN",  "Can't open the stream",                           2) \
    X(DRIVER,   "DRIVER",    "Can't find a free sound driver",                  3) \
    X(BUFLOST,  "BUFLOST",   "The sample buffer was lost",                      4) \
    X(HANDLE,   "HANDLE",    "Invalid handle",                                  5) \
    X(FORMAT,   "FORMAT",    "Unsupported sample format",                       6) \
    X(POSITION, "POSITION",  "Invalid position",                                7) \
    X(INIT,     "INIT",      "The audio output has not been successfully initialized", 8) \
    X(START,    "START",     "The audio output has not been successfully started", 9) \
    X(ALREADY,  "ALREADY",   "Already initialized/paused/whatever",             14) \
    X(NOCHAN,   "NOCHAN",    "Can't get a free channel",                        18) \
    X(ILLTYPE,  "ILLTYPE",   "An illegal type was specified",                   19) \
    X(ILLPARAM, "ILLPARAM:", "An illegal parameter was specified",              20) \
    X(NO3D,     "NO3D",      "No 3D support",                                   21) \
    X(NOEAX,    "NOEAX",     "No EAX support",                                  22) \
    X(DEVICE,   "DEVICE",    "Illegal device number",                           23) \
    X(NOPLAY,   "NOPLAY",    "Not playing",                                     24) \
    X(FREQ,     "FREQ",      "Illegal sample rate",                             25) \
    X(NOTFILE,  "NOTFILE",   "The stream is not a file stream",                 27) \
    X(NOHW,     "NOHW",      "No hardware voices available",                    29) \
    X(EMPTY,    "EMPTY",     "The MOD music has no sequence data",              31) \
    X(NONET,    "NONET",     "No internet connection could be opened",          32) \
    X(CREATE,   "CREATE",    "Couldn't create the file",                        33) \
    X(NOFX,     "NOFX",      "Effects are not enabled",                         34) \
    X(NOTAVAIL, "NOTAVAIL",  "Requested data is not available",                 37) \
    X(DECODE,   "DECODE",    "The channel is a \"decoding channel\"",           38) \
    X(DX,       "DX",        "A sufficient DirectX version is not installed",   39) \
    X(TIMEOUT,  "TIMEOUT",   "Connection timed out",                            40) \
    X(FILEFORM, "FILEFORM",  "Server down or unsupported file format",          41) \
    X(SPEAKER,  "SPEAKER",   "Unavailable speaker",                             42) \
    X(VERSION,  "VERSION",   "Invalid audio library version (used by add-ons)", 43) \
    X(CODEC,    "CODEC",     "Codec is not available/supported",                44) \
    X(ENDED,    "ENDED",     "The channel/file has ended",                      45) \
    X(BUSY,     "BUSY",      "The device is busy",                              46)

// Keys without a group: the display name of the language, the word put before
// an engine error code, and the window-frame and edit-menu texts.
#define QVM_PLAIN_KEYS(X) \
    X(Language,            "Language",            "English") \
    X(Error,               "Error",               "Code") \
    X(MI_MINCAPTION,       "MI_MINCAPTION",       "Mi&nimize") \
    X(MI_MAXCAPTION,       "MI_MAXCAPTION",       "Ma&ximize") \
    X(MI_CLOSECAPTION,     "MI_CLOSECAPTION",     "&Close") \
    X(MI_RESTORECAPTION,   "MI_RESTORECAPTION",   "&Restore") \
    X(MI_MINTOTRAYCAPTION, "MI_MINTOTRAYCAPTION", "Minimize to &tray") \
    X(MI_ROLLUPCAPTION,    "MI_ROLLUPCAPTION",    "Roll &up") \
    X(MINBUTTON_HINT,      "MINBUTTON_HINT",      "Minimize") \
    X(MAXBUTTON_HINT,      "MAXBUTTON_HINT",      "Maximize") \
    X(CLOSEBUTTON_HINT,    "CLOSEBUTTON_HINT",    "Close") \
    X(TRAYBUTTON_HINT,     "TRAYBUTTON_HINT",     "Minimize to tray") \
    X(ROLLUPBUTTON_HINT,   "ROLLUPBUTTON_HINT",   "Roll up") \
    X(MENUBUTTON_HINT,     "MENUBUTTON_HINT",     "System menu") \
    X(EDIT_UNDO,           "EDIT_UNDO",           "&Undo") \
    X(EDIT_COPY,           "EDIT_COPY",           "&Copy") \
    X(EDIT_CUT,            "EDIT_CUT",            "Cu&t") \
    X(EDIT_PASTE,          "EDIT_PASTE",          "&Paste") \
    X(EDIT_DELETE,         "EDIT_DELETE",         "&Delete") \
    X(EDIT_SELECTALL,      "EDIT_SELECTALL",      "Select &all")

#define QVM_LANGUAGE_KEY(group, id, name, english) \
    inline constexpr LanguageKey id{KeyGroup::group, name, english};
#define QVM_ERROR_LANGUAGE_KEY(id, name, english, code) QVM_LANGUAGE_KEY(Error, id, name, english)

namespace keys {
namespace dialog {
#define QVM_KEY_ROW(id, name, english) QVM_LANGUAGE_KEY(Dialog, id, name, english)
QVM_DIALOG_KEYS(QVM_KEY_ROW)
#undef QVM_KEY_ROW
}  // namespace dialog
namespace button {
#define QVM_KEY_ROW(id, name, english) QVM_LANGUAGE_KEY(Button, id, name, english)
QVM_BUTTON_KEYS(QVM_KEY_ROW)
#undef QVM_KEY_ROW
}  // namespace button
namespace msg {
#define QVM_KEY_ROW(id, name, english) QVM_LANGUAGE_KEY(MSG, id, name, english)
QVM_MSG_KEYS(QVM_KEY_ROW)
#undef QVM_KEY_ROW
}  // namespace msg
namespace http {
#define QVM_KEY_ROW(id, name, english) QVM_LANGUAGE_KEY(HTTP, id, name, english)
QVM_HTTP_KEYS(QVM_KEY_ROW)
#undef QVM_KEY_ROW
}  // namespace http
namespace error {
QVM_ERROR_KEYS(QVM_ERROR_LANGUAGE_KEY)
}  // namespace error
namespace plain {
#define QVM_KEY_ROW(id, name, english) QVM_LANGUAGE_KEY(Plain, id, name, english)
QVM_PLAIN_KEYS(QVM_KEY_ROW)
#undef QVM_KEY_ROW
}  // namespace plain
}  // namespace keys

#undef QVM_ERROR_LANGUAGE_KEY
#undef QVM_LANGUAGE_KEY

// clang-format on

// Every key above, group by group in the order written.
std::span<const LanguageKey> LanguageKeyTable();

// The "Error" group key of an audio engine error code, or nullptr for a code
// that has no text (the caller then shows the word and the number only).
const LanguageKey* ErrorTextKey(int code);

}  // namespace qvm
