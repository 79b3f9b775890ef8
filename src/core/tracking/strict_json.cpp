#include "core/tracking/strict_json.h"

#include <exception>
#include <vector>

#include "county/text.h"

namespace dalvento {

namespace {

using Json = nlohmann::json;

// Builds the document in one pass and refuses a key given twice in one object (the library
// would keep the last one). The library's callback parser cannot be used for that: it looks
// through the whole parent object again after each member object, which made loading a large
// hash cache take time growing with the square of its entries.
class StrictDocument : public nlohmann::json_sax<Json> {
  public:
    Json& root() { return root_; }

    bool null() override { return add(Json(nullptr)); }
    bool boolean(bool value) override { return add(Json(value)); }
    bool number_integer(number_integer_t value) override { return add(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return add(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override { return add(Json(value)); }
    bool string(string_t& value) override { return add(Json(std::move(value))); }
    bool binary(binary_t&) override { return false; }

    bool start_object(std::size_t) override { return open(Json::object()); }
    bool key(string_t& key) override {
        auto& members = open_.back()->get_ref<Json::object_t&>();
        const auto [slot, inserted] = members.try_emplace(std::move(key));
        member_ = &slot->second;
        return inserted;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Json::array()); }
    bool end_array() override { return close(); }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    // Where the next value goes: the root, the end of the open array or the member just named.
    Json* place(Json&& value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Json& parent = *open_.back();
        if (parent.is_array()) {
            auto& items = parent.get_ref<Json::array_t&>();
            items.push_back(std::move(value));
            return &items.back();
        }
        *member_ = std::move(value);
        return member_;
    }
    bool add(Json&& value) {
        place(std::move(value));
        return true;
    }
    bool open(Json&& container) {
        open_.push_back(place(std::move(container)));
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    Json root_;
    std::vector<Json*> open_;
    Json* member_ = nullptr;
};

}  // namespace

std::optional<Json> parse_strict_json(std::string_view text) {
    // The library's reader takes a NUL byte for the end of the text; here it is text that
    // follows the document.
    if (text.find('\0') != std::string_view::npos || !is_valid_utf8(text)) return std::nullopt;
    try {
        StrictDocument document;
        if (!Json::sax_parse(text.begin(), text.end(), &document, Json::input_format_t::json,
                             /*strict=*/true, /*ignore_comments=*/false)) {
            return std::nullopt;
        }
        return std::move(document.root());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace dalvento
