#include "main/prepare.h"

#include "core/packing/zip_builder.h"
#include "county/text.h"
#include "main/summary.h"

namespace dalvento {

namespace {

constexpr std::string_view NO_EXPORT_DATE_TITLE = "No export date";
constexpr std::string_view NO_EXPORT_DATE_TEXT =
    "None of the files going has a date to settle the export by, so the delivery can't be dated "
    "or named.\n\nSelect the OWNER layer or a parcel table with the Source buttons, or check that "
    "they are found in their folders (see the lists).";

}  // namespace

void DesktopQuestions::error_box(const std::string& title, const std::string& text) {
    desktop_.message_box(title, text, BoxStyle::error);
}

Answer DesktopQuestions::question_box(const std::string& title, const std::string& text,
                                      QuestionIcon icon) {
    const BoxStyle style =
        icon == QuestionIcon::warning ? BoxStyle::warning_question : BoxStyle::question;
    switch (desktop_.message_box(title, text, style)) {
        case BoxAnswer::yes:
            return Answer::yes;
        case BoxAnswer::no:
            return Answer::no;
        case BoxAnswer::ok:
        case BoxAnswer::closed:
            break;
    }
    return Answer::closed;
}

DialogFocus dialog_focus(const std::string& sender, const std::string& reason) {
    if (trim(sender).empty()) return DialogFocus::sender;
    if (trim(reason).empty()) return DialogFocus::reason;
    return DialogFocus::unusual;
}

DeliveryDialog delivery_dialog(const std::vector<DeliveryUnit>& units, bool send_everything,
                               const ExportDate& export_date, const State& state,
                               std::string_view confirm_caption) {
    DeliveryDialog dialog;
    dialog.summary = delivery_summary(units, send_everything,
                                      zip_file_name(export_date.date, units), export_date.date);
    dialog.sender = state.sender;
    dialog.reason = state.tax_year;
    dialog.confirm_caption = confirm_caption;
    dialog.focus = dialog_focus(state.sender, state.tax_year);
    return dialog;
}

std::optional<PreparedDelivery> prepare_delivery(MainWindow& window,
                                                 std::string_view confirm_caption) {
    render_summary(window);
    std::vector<DeliveryUnit> units = window.units;

    // The checks stop without a word when there is no export date (only other files going, say);
    // the user would see a button that does nothing. Problems with the core files come first.
    if (blocking_problems(units).empty() && !settle_export_date(units)) {
        window.desktop.message_box(std::string(NO_EXPORT_DATE_TITLE),
                                   std::string(NO_EXPORT_DATE_TEXT), BoxStyle::information);
        return std::nullopt;
    }

    DesktopQuestions questions(window.desktop);
    std::optional<PreDeliveryOutcome> checked = run_pre_delivery_checks(units, questions);
    if (!checked) return std::nullopt;

    const DeliveryDialog dialog = delivery_dialog(
        units, checked->send_everything, checked->export_date, window.state, confirm_caption);
    const auto shown = window.desktop.show_delivery_dialog(dialog);
    if (!shown) {
        window.desktop.message_box("Couldn't open the dialog", shown.error(), BoxStyle::error);
        return std::nullopt;
    }
    if (!*shown) return std::nullopt;
    const DeliveryDialogAnswer& answer = **shown;

    window.state.sender = answer.sender;
    window.state.tax_year = answer.reason;
    save_state_or_report(window);
    return PreparedDelivery{.units = std::move(units),
                            .send_everything = checked->send_everything,
                            .export_date = std::move(checked->export_date),
                            .sender = answer.sender,
                            .reason = answer.reason,
                            .unusual = answer.unusual};
}

}  // namespace dalvento
