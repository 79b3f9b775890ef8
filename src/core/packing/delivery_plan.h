// Which units go in a delivery and which stay out and why, the status word of each unit, the
// checks and questions before a delivery, and the sizes and counts shown about it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/sources/export_date.h"
#include "county/delivery_unit.h"

namespace dalvento {

// The status column's text for a unit.
std::string unit_status_word(const DeliveryUnit& unit);

// "  {key}: {reason}\r\n" for a found unit that stays out; none for placeholders and units that go.
std::optional<std::string> staying_out_reason(const DeliveryUnit& unit, bool send_everything);

// "{key}: {text}" for every blocking message of every selected core unit.
std::vector<std::string> blocking_problems(const std::vector<DeliveryUnit>& units);

// At least one selected, found unit, and every one of them unchanged.
bool nothing_new(const std::vector<DeliveryUnit>& units);

// Things to double-check before a delivery, followed by the further warnings given.
std::vector<std::string> pre_send_warnings(const std::vector<DeliveryUnit>& units,
                                           const std::vector<std::string>& further);

// The one-line summary of a delivery shown in the delivery dialog.
std::string delivery_summary(const std::vector<DeliveryUnit>& units, bool send_everything,
                             const std::string& zip_name, std::chrono::year_month_day export_date);

// A byte count as "{n} B", "{n} KB" or "{n.n} MB".
std::string size_text(uint64_t bytes);

// How the user closed a question box; closing it counts as No.
enum class Answer { yes, no, closed };

// The look of a Yes/No box.
enum class QuestionIcon { question, warning };

// The boxes the checks before a delivery show, supplied by whoever runs them.
class DeliveryQuestions {
  public:
    virtual ~DeliveryQuestions() = default;
    // A box with an OK button.
    virtual void error_box(const std::string& title, const std::string& text) = 0;
    // A box with Yes and No buttons.
    virtual Answer question_box(const std::string& title, const std::string& text,
                                QuestionIcon icon) = 0;
};

// What a delivery that passed its checks goes on with.
struct PreDeliveryOutcome {
    bool send_everything = false;
    ExportDate export_date;
};

// Stops a delivery that cannot or should not go (none), asking the user where it is their call.
std::optional<PreDeliveryOutcome> run_pre_delivery_checks(const std::vector<DeliveryUnit>& units,
                                                          DeliveryQuestions& questions);

}  // namespace dalvento
