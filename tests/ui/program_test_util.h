// Helpers for the main window's tests: settings files written as an operator's
// would be, the file compared without its Screen section, waiting with the event
// loop running, and the program's main window set up the way start-up does.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QWidget>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "config/placement.h"
#include "config/settings.h"
#include "engine/node_table.h"
#include "support/temp_dir.h"
#include "ui/dialogs.h"

namespace sentrel::testing {

// A tarn.ini as text with CR LF line ends; sections in the order they are added.
class IniText {
  public:
    IniText& Section(const std::string& name) {
        text_ += "[" + name + "]\r\n";
        return *this;
    }
    IniText& Key(const std::string& key, const std::string& value) {
        text_ += key + "=" + value + "\r\n";
        return *this;
    }
    // Slot i of section Servers (call after Section("Servers")).
    IniText& Node(int i, const std::string& address, const std::string& port, int type,
                  const std::string& title = "") {
        const std::string n = std::to_string(i);
        Key("s" + n + "node", address);
        if (!port.empty()) {
            Key("s" + n + "port", port);
        }
        if (!title.empty()) {
            Key("s" + n + "title", title);
        }
        return Key("s" + n + "type", std::to_string(type));
    }
    const std::string& str() const { return text_; }

  private:
    std::string text_;
};

// General and Servers sections of a pass that outlasts a test's actions: started
// at once, 1 s apart with a 2 s answer limit, over three HTTPD nodes "slow 0"..
// "slow 2" on 127.0.0.1:`port` (a peer that accepts and never answers).
inline IniText SlowPassIni(const std::string& port) {
    IniText ini;
    ini.Section("General").Key("AutoStart", "1").Key("Secs", "1").Key("MAXSecs", "2");
    ini.Section("Servers");
    for (int i = 0; i < 3; ++i) {
        ini.Node(i, "127.0.0.1", port, HTTPD, "slow " + std::to_string(i));
    }
    return ini;
}

// The file's lines without the Screen section (its header, its keys and the blank
// lines right before it), each line kept with its own line end.
inline std::vector<std::string> LinesWithoutScreen(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = bytes.find('\n', at);
        end = end == std::string::npos ? bytes.size() : end + 1;
        lines.push_back(bytes.substr(at, end - at));
        at = end;
    }
    std::vector<std::string> kept;
    bool inScreen = false;
    for (const std::string& line : lines) {
        const bool header = !line.empty() && line[0] == '[';
        if (header) {
            inScreen = line.rfind("[Screen]", 0) == 0;
            if (inScreen) {
                while (!kept.empty() && (kept.back() == "\r\n" || kept.back() == "\n")) {
                    kept.pop_back();
                }
                continue;
            }
        }
        if (!inScreen) {
            kept.push_back(line);
        }
    }
    return kept;
}

// Key=value pairs of one section, as written.
inline std::map<std::string, std::string> SectionKeys(const std::string& bytes,
                                                      const std::string& section) {
    std::map<std::string, std::string> keys;
    bool inside = false;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = bytes.find('\n', at);
        end = end == std::string::npos ? bytes.size() : end + 1;
        std::string line = bytes.substr(at, end - at);
        at = end;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        if (!line.empty() && line[0] == '[') {
            inside = line == "[" + section + "]";
            continue;
        }
        const auto eq = line.find('=');
        if (inside && eq != std::string::npos) {
            keys[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return keys;
}

// Everything a test of the program must clear between windows.
inline void ResetProgramState() {
    ResetEngineStateForTesting();
    ResetSettingsForTesting();
    ResetFirstPaintPendingForTesting();
    ui::ClearDialogTestStateForTesting();
}

inline bool WaitUntil(const std::function<bool()>& condition, int ms) {
    return QTest::qWaitFor(condition, ms);
}

template <typename T = QWidget>
T* Child(QWidget* root, const char* name) {
    return root->findChild<T*>(QString::fromLatin1(name));
}

// The message box now shown modally, if any.
inline QMessageBox* ShownMessageBox() {
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

}  // namespace sentrel::testing
