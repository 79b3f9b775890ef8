#include "upload/delivery.h"

#include <algorithm>
#include <exception>
#include <future>
#include <limits>
#include <mutex>
#include <new>
#include <random>
#include <system_error>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "county/text.h"

namespace dalvento {

namespace {

using Json = nlohmann::json;

constexpr size_t SERVER_TEXT_CHARACTERS = 120;
constexpr std::string_view SHORT_ZIP = "failed to fill whole buffer";
// Parts are read and hashed in slices of this size.
constexpr uint64_t READ_SLICE = 1 << 20;

SendError error_of(SendErrorKind kind, std::string text = {}) {
    SendError error;
    error.kind = kind;
    error.text = std::move(text);
    return error;
}

SendError unexpected(std::string text) {
    return error_of(SendErrorKind::unexpected, std::move(text));
}

bool is_unavailable(uint16_t status) {
    return status == 502 || status == 503 || status == 504;
}

// A reply body that is not JSON reads as null, so every member reads as missing.
Json parse_reply(std::string_view body) {
    Json parsed = Json::parse(body, nullptr, false);
    return parsed.is_discarded() ? Json(nullptr) : parsed;
}

const Json* member(const Json& object, const char* name) {
    if (!object.is_object()) return nullptr;
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

// A missing or non-string text reads as empty.
std::string text_member(const Json& object, const char* name) {
    const Json* value = member(object, name);
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

// A missing number, or one that is not a whole number from 0 up, reads as absent.
std::optional<uint64_t> number_member(const Json& object, const char* name) {
    const Json* value = member(object, name);
    if (!value) return std::nullopt;
    if (value->is_number_unsigned()) return value->get<uint64_t>();
    if (value->is_number_integer() && value->get<int64_t>() >= 0) {
        return static_cast<uint64_t>(value->get<int64_t>());
    }
    return std::nullopt;
}

size_t utf8_length(std::string_view text) {
    size_t count = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    }
    return count;
}

// The first n characters of a text.
std::string_view first_characters(std::string_view text, size_t n) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (count == n) return text.substr(0, i);
            ++count;
        }
    }
    return text;
}

std::string without_trailing_slashes(std::string_view url) {
    while (!url.empty() && url.back() == '/')
        url.remove_suffix(1);
    return std::string(url);
}

std::string_view strip_quotes(std::string_view text) {
    while (!text.empty() && text.front() == '"')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == '"')
        text.remove_suffix(1);
    return text;
}

struct UploadPlan {
    std::vector<UploadPart> parts;
    bool has_parts_array = false;  // decides the complete body
};

std::expected<UploadPlan, SendError> plan_upload(const Json& announce, uint64_t zip_size) {
    static const Json none;
    const Json* upload = member(announce, "upload");
    if (!upload) upload = &none;
    UploadPlan plan;
    const Json* parts = member(*upload, "parts");
    if (parts && parts->is_array()) {
        plan.has_parts_array = true;
        const uint64_t part_size =
            number_member(*upload, "part_size").value_or(std::max<uint64_t>(zip_size, 1));
        for (const Json& element : *parts) {
            UploadPart part;
            part.url = text_member(element, "url");
            part.part = number_member(element, "part").value_or(0);
            part.bytes = number_member(element, "bytes").value_or(0);
            // An offset past anything a file can hold is left at the maximum, which the read
            // then reports as a zip shorter than announced.
            const uint64_t index = part.part == 0 ? 0 : part.part - 1;
            part.offset = index != 0 && part_size > std::numeric_limits<uint64_t>::max() / index
                              ? std::numeric_limits<uint64_t>::max()
                              : part_size * index;
            plan.parts.push_back(std::move(part));
        }
    } else {
        plan.parts.push_back(UploadPart{text_member(*upload, "url"), 1, 0, zip_size});
    }
    for (const UploadPart& part : plan.parts) {
        if (part.url.empty() || part.part == 0) {
            return std::unexpected(unexpected("announce came back without upload URLs"));
        }
    }
    return plan;
}

bool repeatable_on_the_line(const HttpFailure& failure) {
    return failure.problem == HttpProblem::cannot_connect ||
           failure.problem == HttpProblem::dropped || failure.problem == HttpProblem::timed_out;
}

// A part goes out again after a failure on the line or a server error.
bool part_repeatable(const HttpResult& result) {
    if (!result) return repeatable_on_the_line(result.error());
    return result->status == 500 || is_unavailable(result->status);
}

// An announce or complete goes out again only where the service cannot have acted on it.
bool call_repeatable(const HttpResult& result) {
    if (!result) return result.error().nothing_sent;
    return result->status == 503;
}

// What went wrong, as the wait before the next attempt tells it.
std::string retry_reason(const HttpResult& result) {
    if (result) return "Dalvento answered " + std::to_string(result->status);
    switch (result.error().problem) {
        case HttpProblem::cannot_connect:
            return "couldn't connect";
        case HttpProblem::timed_out:
            return "the connection timed out";
        default:
            return "the connection dropped";
    }
}

// Every repeat a send allows itself, spent as it goes.
struct RetryBudget {
    bool announce_again = true;  // a 404 on complete: the links expired, so announce afresh
    bool upload_again = true;    // a 409 on complete: send every part once more
    // Of the request being made: its attempt, and whether a part's ETag may still be re-sent.
    uint32_t attempt = 1;
    bool etag_resend = true;
};

// One send: the announce, upload passes and complete, each a step that says what comes next.
class Sender {
  public:
    Sender(const SendJob& job, HttpSeam& http, const SendHooks& hooks)
        : job_(job),
          http_(http),
          hooks_(hooks),
          clock_(hooks.clock ? *hooks.clock : real_send_clock()),
          base_(without_trailing_slashes(job.base_url)) {
        watch_.stop = hooks.stop;
    }

    SendOutcome run() {
        Step step = Step::announce;
        for (;;) {
            if (stopped()) return fail(error_of(SendErrorKind::stopped));
            std::expected<Step, SendError> next;
            switch (step) {
                case Step::announce:
                    next = announce();
                    break;
                case Step::upload:
                    next = upload_pass();
                    break;
                case Step::complete:
                    next = complete();
                    break;
                case Step::done:
                    return receipt_;
            }
            if (!next) return fail(next.error());
            step = *next;
        }
    }

  private:
    enum class Step { announce, upload, complete, done };

    static SendOutcome fail(SendError error) { return std::unexpected(std::move(error)); }

    bool stopped() const { return hooks_.stop && *hooks_.stop; }

    void report(SendStage stage, uint64_t done, uint64_t total,
                std::optional<RetryWait> waiting = std::nullopt) {
        status_ = SendStatus{stage, done, total, std::move(waiting), std::nullopt};
        if (stage == SendStage::upload && !status_.waiting) status_.bytes_per_second = rate_.rate();
        if (hooks_.report) hooks_.report(status_);
    }

    // The failure a request ends the send with once it may not be made again.
    SendError failure_of(const HttpFailure& failure) const {
        if (failure.problem == HttpProblem::stopped || stopped())
            return error_of(SendErrorKind::stopped);
        return error_of(SendErrorKind::unreachable, failure.text);
    }

    // Makes a request, and makes it again after a wait while `repeatable` says so and attempts
    // are left. The last result is given; a stop during a wait gives the stopped failure.
    template <typename Request, typename Repeatable>
    HttpResult with_retries(Request request, Repeatable repeatable) {
        for (budget_.attempt = 1;; ++budget_.attempt) {
            HttpResult result = request();
            if (!repeatable(result) || budget_.attempt >= MAX_ATTEMPTS || stopped()) return result;
            if (!wait_before(budget_.attempt + 1, retry_reason(result))) {
                return std::unexpected(http_failure("waiting", HttpProblem::stopped));
            }
        }
    }

    // The wait before the given attempt, told each second; false when stopped during it.
    bool wait_before(uint32_t attempt, const std::string& reason) {
        const auto base = RETRY_WAITS[std::min<size_t>(attempt - 2, std::size(RETRY_WAITS) - 1)];
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            base * (1.0 + RETRY_JITTER * clock_.random_fraction()));
        const auto end = clock_.now() + wait;
        const SendStatus before = status_;
        uint32_t told = 0;
        for (;;) {
            if (stopped()) return false;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_.now());
            if (left.count() <= 0) break;
            const auto seconds = static_cast<uint32_t>((left.count() + 999) / 1000);
            if (seconds != told) {
                told = seconds;
                report(before.stage, before.done, before.total,
                       RetryWait{reason, seconds, attempt});
            }
            clock_.sleep(std::min(left, std::chrono::milliseconds(STOP_POLL_MS)));
        }
        report(before.stage, before.done, before.total);
        return true;
    }

    std::expected<Step, SendError> announce() {
        report(SendStage::announce, 0, 1);
        const auto reply = with_retries(
            [&] {
                return http_.post_json(base_ + "/v1/deliveries", job_.token, job_.announce_body,
                                       watch_);
            },
            call_repeatable);
        if (!reply) return std::unexpected(failure_of(reply.error()));
        const Json answer = parse_reply(reply->body);
        switch (reply->status) {
            case 201:
                break;
            case 200: {
                // Only a reply that names the delivery counts: a proxy's page or another server's
                // 200 must not pass for a delivery made.
                receipt_ = Receipt{};
                receipt_.already_received = true;
                receipt_.delivery_id = text_member(answer, "delivery_id");
                receipt_.already_received_at = text_member(answer, "already_received_at");
                if (receipt_.delivery_id.empty() || receipt_.already_received_at.empty())
                    return std::unexpected(not_understood("announce"));
                return Step::done;
            }
            case 401:
                return std::unexpected(token_refused("announce", *reply));
            case 413:
                return std::unexpected(error_of(SendErrorKind::too_big));
            case 422: {
                std::string text = text_member(answer, "error");
                return std::unexpected(
                    error_of(SendErrorKind::rejected, text.empty() ? reply->body : text));
            }
            default:
                if (is_unavailable(reply->status))
                    return std::unexpected(error_of(SendErrorKind::unavailable));
                return std::unexpected(unexpected(std::to_string(reply->status) + " on announce"));
        }

        delivery_id_ = text_member(answer, "delivery_id");
        county_ = text_member(answer, "county");
        const auto info = platform::file_info(job_.zip_path);
        if (!info) return std::unexpected(unexpected("can't read the zip: " + info.error().text));
        zip_size_ = info->size;
        auto plan = plan_upload(answer, zip_size_);
        if (!plan) return std::unexpected(plan.error());
        plan_ = std::move(*plan);
        return Step::upload;
    }

    std::expected<Step, SendError> complete() {
        report(SendStage::complete, 0, 1);
        const std::string body = complete_body(plan_, completed_);
        const auto done = with_retries(
            [&] {
                return http_.post_json(base_ + "/v1/deliveries/" + delivery_id_ + "/complete",
                                       job_.token, body, watch_);
            },
            call_repeatable);
        if (!done) return std::unexpected(failure_of(done.error()));
        const Json answer = parse_reply(done->body);
        switch (done->status) {
            case 200:
                receipt_ = Receipt{};
                receipt_.delivery_id = delivery_id_;
                receipt_.county = county_;
                receipt_.received_at = text_member(answer, "received_at");
                if (receipt_.received_at.empty())
                    return std::unexpected(not_understood("complete"));
                return Step::done;
            case 409:
                if (!std::exchange(budget_.upload_again, false))
                    return std::unexpected(error_of(SendErrorKind::not_intact));
                return Step::upload;
            case 404:
                if (!std::exchange(budget_.announce_again, false))
                    return std::unexpected(error_of(SendErrorKind::links_expired));
                // The delivery announced afresh may be uploaded again in full.
                budget_.upload_again = true;
                return Step::announce;
            case 401:
                return std::unexpected(token_refused("complete", *done));
            default:
                if (is_unavailable(done->status))
                    return std::unexpected(error_of(SendErrorKind::unavailable));
                return std::unexpected(unexpected(std::to_string(done->status) + " on complete"));
        }
    }

    static SendError not_understood(std::string_view step) {
        return unexpected("the service's reply to " + std::string(step) + " wasn't understood");
    }

    SendError token_refused(std::string_view stage, const HttpReply& reply) {
        SendError error = error_of(SendErrorKind::token_refused);
        error.base_url = base_;
        error.stage = std::string(stage);
        error.server_text = refusal_server_text(reply.body);
        error.token_description = describe_token(job_.token);
        return error;
    }

    static std::string complete_body(const UploadPlan& plan,
                                     const std::vector<CompletedPart>& parts) {
        if (!plan.has_parts_array) return {};
        Json listed = Json::array();
        for (const CompletedPart& part : parts) {
            Json entry = Json::object();
            entry["etag"] = part.etag;
            entry["part"] = part.part;
            listed.push_back(std::move(entry));
        }
        Json body = Json::object();
        body["parts"] = std::move(listed);
        return body.dump();
    }

    // Room for one part, kept between parts so that each needs no new allocation.
    struct PartBuffer {
        std::unique_ptr<uint8_t[]> bytes;
        uint64_t size = 0;
    };

    struct PartBytes {
        std::span<const uint8_t> bytes;
        std::string sha256;
    };
    using PartRead = std::expected<PartBytes, SendError>;

    // Reads one part into a buffer, reopening the zip so that nothing is held between parts,
    // and hashes it slice by slice while each slice is still in the processor's cache.
    PartRead read_part(const UploadPart& part, PartBuffer& buffer) const {
        auto file = platform::InputFile::open(job_.zip_path);
        if (!file) return std::unexpected(unexpected("can't read the zip: " + file.error().text));
        // A part reaching past the end cannot be read: say so before making room for it.
        if (part.offset > zip_size_ || part.bytes > zip_size_ - part.offset) {
            return std::unexpected(
                unexpected("the zip is shorter than announced: " + std::string(SHORT_ZIP)));
        }
        if (part.bytes > buffer.size) {
            buffer.bytes.reset();
            buffer.size = 0;
            try {
                buffer.bytes = std::make_unique_for_overwrite<uint8_t[]>(part.bytes);
            } catch (const std::bad_alloc&) {
                return std::unexpected(
                    unexpected("can't read the zip: not enough memory for a part of " +
                               std::to_string(part.bytes) + " bytes"));
            }
            buffer.size = part.bytes;
        }
        uint8_t* const into = buffer.bytes.get();
        Sha256 hash;
        for (uint64_t done = 0; done < part.bytes;) {
            const size_t slice = static_cast<size_t>(std::min(part.bytes - done, READ_SLICE));
            const auto read = file->read_exact_at(part.offset + done, into + done, slice);
            if (!read) {
                return std::unexpected(
                    unexpected("the zip is shorter than announced: " + read.error().text));
            }
            hash.update(into + done, slice);
            done += slice;
        }
        return PartBytes{std::span<const uint8_t>(into, part.bytes), hash.finish_hex()};
    }

    // Reads a part on a thread of its own while the one before it goes out. Where no thread can
    // be had, the part is read here and now.
    std::future<PartRead> read_ahead(const UploadPart& part, PartBuffer& buffer) const {
        try {
            return std::async(std::launch::async,
                              [this, &part, &buffer] { return read_part(part, buffer); });
        } catch (const std::system_error&) {
            std::promise<PartRead> now;
            now.set_value(read_part(part, buffer));
            return now.get_future();
        }
    }

    // Sends the parts in plan order. The next part is read and hashed while the current one is
    // sent, in the other of two buffers; a failure is reported in the order a part-by-part send
    // would meet it.
    std::expected<Step, SendError> upload_pass() {
        const std::vector<UploadPart>& plan = plan_.parts;
        completed_.clear();
        uint64_t sent = 0;
        report(SendStage::upload, 0, zip_size_);
        std::future<PartRead> next;
        if (!plan.empty()) next = read_ahead(plan[0], buffers_[0]);
        for (size_t index = 0; index < plan.size(); ++index) {
            const UploadPart& part = plan[index];
            const PartRead read = next.get();
            if (!read) return std::unexpected(read.error());
            // The buffer read into next is the one the part before this one was sent from.
            if (index + 1 < plan.size())
                next = read_ahead(plan[index + 1], buffers_[(index + 1) % 2]);
            auto accepted = send_part(part, *read, sent);
            if (!accepted) return std::unexpected(accepted.error());
            completed_.push_back(CompletedPart{part.part, read->sha256});
            sent += part.bytes;
            report(SendStage::upload, sent, zip_size_);
        }
        return Step::complete;
    }

    // One part until the service takes it whole, within the budget's attempts and ETag re-send.
    std::expected<void, SendError> send_part(const UploadPart& part, const PartBytes& read,
                                             uint64_t sent_before) {
        budget_.etag_resend = true;
        HttpWatch watch = watch_;
        watch.progress = [&](uint64_t sent, uint64_t) {
            rate_.add(clock_.now(), sent_before + sent);
            report(SendStage::upload, sent_before + sent, zip_size_);
        };
        for (;;) {
            if (stopped()) return std::unexpected(error_of(SendErrorKind::stopped));
            const auto reply = with_retries(
                [&] {
                    return http_.request("PUT", part.url, {"Content-Type: application/zip"},
                                         read.bytes, watch);
                },
                part_repeatable);
            if (!reply) return std::unexpected(failure_of(reply.error()));
            const uint16_t status = reply->status;
            if (status == 200 || status == 201 || status == 204) {
                if (etag_accepted(reply->etag, read.sha256)) return {};
                if (!std::exchange(budget_.etag_resend, false))
                    return std::unexpected(error_of(SendErrorKind::not_intact));
                continue;
            }
            if (is_unavailable(status))
                return std::unexpected(error_of(SendErrorKind::unavailable));
            if (status == 403 || status == 404)
                return std::unexpected(error_of(SendErrorKind::links_expired));
            if (status == 413) return std::unexpected(error_of(SendErrorKind::too_big));
            return std::unexpected(unexpected(std::to_string(status) + " on upload"));
        }
    }

    const SendJob& job_;
    HttpSeam& http_;
    const SendHooks& hooks_;
    SendClock& clock_;
    const std::string base_;
    HttpWatch watch_;
    RetryBudget budget_;
    SendStatus status_;  // as last told
    RateMeter rate_;
    // What the announce gave.
    std::string delivery_id_;
    std::string county_;
    UploadPlan plan_;
    uint64_t zip_size_ = 0;
    std::vector<CompletedPart> completed_;
    Receipt receipt_;
    // At most two parts in memory: the one going out and the one being read.
    PartBuffer buffers_[2];
};

}  // namespace

HttpResult HttpSeam::post_json(std::string_view url, std::string_view token, std::string_view json,
                               const HttpWatch& watch) {
    const std::vector<std::string> headers = {"Authorization: Bearer " + std::string(token),
                                              "Content-Type: application/json",
                                              "Accept: application/json"};
    return request("POST", url, headers,
                   std::span(reinterpret_cast<const uint8_t*>(json.data()), json.size()), watch);
}

SendOutcome send_delivery(const SendJob& job, HttpSeam& http, const SendHooks& hooks) {
    Sender sender(job, http, hooks);
    // Whatever happens, the interface must hear an outcome: it waits for one.
    try {
        return sender.run();
    } catch (const std::exception& problem) {
        return std::unexpected(unexpected(problem.what()));
    }
}

std::string describe_token(std::string_view token) {
    const size_t n = utf8_length(token);
    std::string out = "\"" + std::string(first_characters(token, 5));
    if (n >= 6) out += "\xE2\x80\xA6";  // …
    out += "\" (" + std::to_string(n) + (n == 1 ? " character)" : " characters)");
    return out;
}

std::string refusal_server_text(std::string_view body) {
    std::string said = text_member(parse_reply(body), "error");
    if (!said.empty()) return said;
    const std::string trimmed = trim(body);
    std::string_view line = trimmed;
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return std::string(first_characters(line, SERVER_TEXT_CHARACTERS));
}

bool etag_accepted(const std::optional<std::string>& etag, std::string_view part_sha256) {
    if (!etag) return true;
    const std::string trimmed = trim(*etag);
    std::string_view inner = strip_quotes(trimmed);
    while (inner.starts_with("W/"))
        inner.remove_prefix(2);
    inner = strip_quotes(inner);
    return inner.empty() || ascii_lower(inner) == part_sha256;
}

}  // namespace dalvento
