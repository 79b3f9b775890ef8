// The preparation both roads out share: rescan and freeze the units, the checks and questions
// before a delivery, and the "Send this delivery?" dialog asking who sends and why.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/packing/delivery_plan.h"
#include "core/sources/export_date.h"
#include "county/delivery_unit.h"
#include "main/desktop.h"
#include "main/main_window.h"

namespace dalvento {

// What a bundle or send goes on with.
struct PreparedDelivery {
    std::vector<DeliveryUnit> units;  // copied from the scan at the start of the preparation
    bool send_everything = false;     // the user asked to send everything again
    ExportDate export_date;
    std::string sender, reason, unusual;  // exactly as typed
};

// The confirm button's caption for each road.
inline constexpr std::string_view CONFIRM_SEND = "Next...";
inline constexpr std::string_view CONFIRM_BUNDLE = "Bundle...";

// Asks the checks' questions through the desktop's message boxes.
class DesktopQuestions : public DeliveryQuestions {
  public:
    explicit DesktopQuestions(Desktop& desktop) : desktop_(desktop) {}
    void error_box(const std::string& title, const std::string& text) override;
    Answer question_box(const std::string& title, const std::string& text,
                        QuestionIcon icon) override;

  private:
    Desktop& desktop_;
};

// Where the dialog's focus starts: the first of sender and reason that is blank, else unusual.
DialogFocus dialog_focus(const std::string& sender, const std::string& reason);

// The dialog as it opens for these units, pre-filled from the State.
DeliveryDialog delivery_dialog(const std::vector<DeliveryUnit>& units, bool send_everything,
                               const ExportDate& export_date, const State& state,
                               std::string_view confirm_caption);

// Runs the preparation; none when it ends the flow (nothing is written then). On confirm the
// sender and reason are stored as typed and the State saved.
std::optional<PreparedDelivery> prepare_delivery(MainWindow& window,
                                                 std::string_view confirm_caption);

}  // namespace dalvento
