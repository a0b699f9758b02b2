// What every page of the setup sheet has in common: its members are put into the
// controls each time it is shown and read back each time it stops being shown.
#pragma once

#include <QPointer>
#include <QWidget>

#include <cstddef>
#include <string>

class QAbstractButton;
class QLineEdit;

namespace sentrel::ui {

class SetupPage : public QWidget {
    Q_OBJECT
  public:
    explicit SetupPage(QWidget* parent = nullptr);

    // Members into controls.
    virtual void ShowPage() = 0;
    // Controls into members. False when a field holds more than its limit: the
    // length message has been shown and the field is remembered for the focus.
    virtual bool ReadPage() = 0;

    // The page becomes the shown one.
    virtual void OnSetActive() { ShowPage(); }
    // The page stops being the shown one (tab switch or OK); false refuses it.
    virtual bool OnKillActive() { return ReadPage(); }

    // After a refusal: the field that held too much, focused.
    void FocusRefusedField();

  protected:
    static void PutText(QLineEdit* edit, const std::string& member, int limit = 0);
    // As TakeFieldText; a refused field is remembered for FocusRefusedField.
    bool GetText(QLineEdit* edit, std::string& member, int limit = 0);

    static void PutCheck(QAbstractButton* box, bool member);
    static bool GetCheck(const QAbstractButton* box);

  private:
    QPointer<QLineEdit> refused_;
};

// A page's Load and Store walk one list of (member, setting) pairs, with these
// as the copy of a single pair.
inline constexpr auto kLoadSetting = [](auto& member, const auto& setting) { member = setting; };
inline constexpr auto kStoreSetting = [](const auto& member, auto& setting) { setting = member; };

// The setup pages' "Save As" file chooser: `filter`, then "All Files (*.*)";
// `suffix` is added to a name typed without one.
QString ChooseSetupFile(QWidget* parent, const QString& filter, const QString& suffix,
                        bool fileMustExist);

// "Please enter no more than %1 characters." with the application title and an
// exclamation mark, as any field with an input limit shows it.
void ShowLengthMessage(QWidget* parent, int limit);

// A text member into its field. With a limit, typing stops at the limit; a
// member already longer is shown whole (and refused when read back).
void PutFieldText(QLineEdit* edit, const std::string& member, int limit = 0);
// The field back into its member. An unchanged field gives back the member's
// exact bytes. With a limit, a field whose text takes more bytes in UTF-8 shows
// the length message and gives false, leaving the member alone.
bool TakeFieldText(QWidget* parent, QLineEdit* edit, std::string& member, int limit = 0);

// At most `limit` bytes of the text, never ending inside a UTF-8 sequence.
std::string CutText(const std::string& text, std::size_t limit);

// Settings text to display text: UTF-8 when it is valid, else single bytes.
QString DisplayText(const std::string& bytes);

}  // namespace sentrel::ui
