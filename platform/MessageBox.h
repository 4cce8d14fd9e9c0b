#pragma once
// User-visible message boxes, as the rest of the program raises them.
//
// The core never draws anything: it calls ShowMessageBox(), and whoever owns
// the screen (the Qt program, a test, the headless driver) installs a
// presenter. Without one the text goes to standard error, so nothing is
// ever silently lost and nothing blocks.
#include <functional>
#include <string>

namespace qf::platform {

enum class MsgIcon { None, Information, Warning, Error, Question };

// Buttons a caller offers; the result says which one the user chose.
enum class MsgButtons { Ok, OkCancel, YesNo };
enum class MsgResult { Ok, Cancel, Yes, No };

using MessagePresenter =
    std::function<MsgResult(const std::string& text, const std::string& caption, MsgIcon, MsgButtons)>;

// Installs the presenter (empty function restores the default). Thread-safe.
void SetMessagePresenter(MessagePresenter presenter);

// Shows a message box. Returns the chosen button; the default presenter
// prints to standard error and answers Ok / Yes.
MsgResult ShowMessageBox(const std::string& text, const std::string& caption = "quarvoFON",
                         MsgIcon icon = MsgIcon::None, MsgButtons buttons = MsgButtons::Ok);

} // namespace qf::platform
