#include "controller/InputScript.h"

#include "controller/MacKeyCodes.h"
#include "log/Utf8Repair.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

namespace quorlinth {

namespace {

// X keysyms of the modifier keys a script names, in the order they are pressed.
constexpr uint32_t kControlL = 0xffe3;
constexpr uint32_t kShiftL = 0xffe1;
constexpr uint32_t kAltL = 0xffe9;
constexpr uint32_t kSuperL = 0xffeb;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// A word of the script quoted back in a message: control characters dropped, at most 32 bytes
// of whole characters.
std::string quoted(std::string_view word) {
    std::string shown;
    for (size_t i = 0; i < word.size() && shown.size() < 32;) {
        unsigned char c = word[i];
        size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
        if (c >= 0x20 && c != 0x7f) shown.append(word.substr(i, length));
        i += length;
    }
    return "“" + shown + "”";
}

// The words of a line up to a word that starts a comment.
std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> found;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && isBlank(line[at]))
            ++at;
        size_t end = at;
        while (end < line.size() && !isBlank(line[end]))
            ++end;
        if (end == at) break;
        std::string_view word = line.substr(at, end - at);
        if (word.front() == '#') break;
        found.push_back(word);
        at = end;
    }
    return found;
}

std::optional<double> number(std::string_view word) {
    double value = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<int64_t> integer(std::string_view word) {
    int64_t value = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size()) return std::nullopt;
    return value;
}

// Reads the numbers after the command word; an error text when they are not exactly `count`.
Result<std::vector<double>> numbers(const std::vector<std::string_view>& parts, size_t count,
                                    const std::string& usage) {
    if (parts.size() != count + 1) return Error{"应写作 " + usage};
    std::vector<double> values;
    for (size_t i = 1; i < parts.size(); ++i) {
        auto value = number(parts[i]);
        if (!value) return Error{quoted(parts[i]) + " 不是数字，应写作 " + usage};
        values.push_back(*value);
    }
    return values;
}

Result<InputScript::Action> parseKey(const std::vector<std::string_view>& parts) {
    if (parts.size() < 2) return Error{"应写作 key 按键名 [ctrl|shift|alt|super...]"};
    auto keysym = keysymForName(parts[1]);
    if (!keysym)
        return Error{"未知的按键名 " + quoted(parts[1]) + "（请用 X keysym 名称，例如 Return、a、F5）"};
    InputScript::Key key{*keysym, {}};
    for (size_t i = 2; i < parts.size(); ++i) {
        if (parts[i] == "ctrl") {
            key.modifiers.control = true;
        } else if (parts[i] == "shift") {
            key.modifiers.shift = true;
        } else if (parts[i] == "alt") {
            key.modifiers.alt = true;
        } else if (parts[i] == "super") {
            key.modifiers.super = true;
        } else {
            return Error{"未知的修饰键 " + quoted(parts[i]) + "（可用 ctrl、shift、alt、super）"};
        }
    }
    return InputScript::Action{key};
}

// The text after "type" and the blanks that follow it, to the end of the line.
std::string_view restOfLine(std::string_view line) {
    size_t at = line.find_first_not_of(" \t");
    at = line.find_first_of(" \t", at);
    if (at == std::string_view::npos) return {};
    at = line.find_first_not_of(" \t", at);
    return at == std::string_view::npos ? std::string_view{} : line.substr(at);
}

Result<InputScript::Action> parseAction(std::string_view line, bool& hasPosition) {
    auto parts = words(line);
    std::string_view command = parts.front();
    if (command == "move") {
        auto values = numbers(parts, 2, "move X Y");
        if (!values) return Error{values.error()};
        hasPosition = true;
        return InputScript::Action{InputScript::Move{{values.value()[0], values.value()[1]}}};
    }
    if (command == "click") {
        if (parts.size() > 2 || (parts.size() == 2 && parts[1] != "left" && parts[1] != "right"))
            return Error{"应写作 click [left|right]"};
        if (!hasPosition) return Error{"click 之前需要先用 move 或 drag 指定位置"};
        bool right = parts.size() == 2 && parts[1] == "right";
        return InputScript::Action{InputScript::Click{right ? LocalButton::right : LocalButton::left}};
    }
    if (command == "drag") {
        auto values = numbers(parts, 4, "drag X1 Y1 X2 Y2");
        if (!values) return Error{values.error()};
        const auto& v = values.value();
        hasPosition = true;
        return InputScript::Action{InputScript::Drag{{v[0], v[1]}, {v[2], v[3]}}};
    }
    if (command == "scroll") {
        auto values = numbers(parts, 2, "scroll DX DY");
        if (!values) return Error{values.error()};
        return InputScript::Action{InputScript::Scroll{values.value()[0], values.value()[1]}};
    }
    if (command == "type") {
        std::string_view text = restOfLine(line);
        if (text.empty()) return Error{"type 后面需要要输入的文字"};
        return InputScript::Action{InputScript::Type{std::string(text)}};
    }
    if (command == "key") return parseKey(parts);
    if (command == "wait") {
        auto value = parts.size() == 2 ? integer(parts[1]) : std::nullopt;
        if (!value || *value < 0 || *value > InputScript::kMaxWait)
            return Error{"应写作 wait 毫秒数（0 到 600000 的整数）"};
        return InputScript::Action{InputScript::Wait{*value}};
    }
    return Error{"未知的命令 " + quoted(command) + "（可用 move、click、drag、scroll、type、key、wait）"};
}

} // namespace

Result<InputScript> InputScript::parse(std::string_view text) {
    InputScript script;
    bool hasPosition = false;
    int number = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        auto fail = [number](const std::string& why) {
            return Error{"输入脚本第 " + std::to_string(number) + " 行：" + why};
        };
        if (repairUtf8(line) != line) return fail("不是有效的 UTF-8 文本");
        auto parts = words(line);
        if (parts.empty()) continue; // blank or comment
        auto action = parseAction(line, hasPosition);
        if (!action) return fail(action.error());
        script.steps.push_back(Step{number, std::move(action.value())});
    }
    return script;
}

Result<InputScript> InputScript::read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return Error{"无法读取输入脚本 " + file.string() + "，请检查文件是否存在"};
    std::string text(kMaxBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) return Error{"无法读取输入脚本 " + file.string()};
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxBytes) return Error{"输入脚本超过 1 MB，请拆分后再试"};
    return parse(text);
}

InputScriptPlayer::InputScriptPlayer(InputScript script, ControllerInputTranslator& translator,
                                     Dispatcher& mainQueue)
    : script(std::move(script)), translator(translator), mainQueue(mainQueue) {}

void InputScriptPlayer::start(std::function<void()> finished) {
    done = std::move(finished);
    next = 0;
    complete = false;
    position.reset();
    after(Millis{0}, [this] { runNext(); });
}

void InputScriptPlayer::after(Millis delay, Task task) {
    timer = mainQueue.after(delay, std::move(task));
}

void InputScriptPlayer::runNext() {
    if (next >= script.steps.size()) {
        complete = true;
        if (done) done();
        return;
    }
    const InputScript::Action& action = script.steps[next++].action;
    perform(action, [this] { after(kStepGap, [this] { runNext(); }); });
}

void InputScriptPlayer::perform(const InputScript::Action& action, std::function<void()> then) {
    if (auto move = std::get_if<InputScript::Move>(&action)) {
        position = move->to;
        translator.mouseMoved(position);
    } else if (auto click = std::get_if<InputScript::Click>(&action)) {
        translator.mouseDown(click->button, position);
        translator.mouseUp(click->button, position);
    } else if (auto dragging = std::get_if<InputScript::Drag>(&action)) {
        translator.mouseDown(LocalButton::left, dragging->from);
        return drag(*dragging, 1, std::move(then));
    } else if (auto scroll = std::get_if<InputScript::Scroll>(&action)) {
        translator.scrolled(scroll->dx, scroll->dy);
    } else if (auto type = std::get_if<InputScript::Type>(&action)) {
        translator.typeText(type->text);
    } else if (auto pressed = std::get_if<InputScript::Key>(&action)) {
        key(*pressed);
    } else if (auto wait = std::get_if<InputScript::Wait>(&action)) {
        return after(Millis{wait->milliseconds}, [this] { runNext(); });
    }
    then();
}

// Moves in equal steps from the start to the end point, then lets go there.
void InputScriptPlayer::drag(const InputScript::Drag& drag, int step, std::function<void()> then) {
    after(kDragStepGap, [this, drag, step, then = std::move(then)]() mutable {
        double share = static_cast<double>(step) / kDragSteps;
        PicturePoint at{drag.from.x + (drag.to.x - drag.from.x) * share,
                        drag.from.y + (drag.to.y - drag.from.y) * share};
        if (step == kDragSteps) at = drag.to;
        translator.mouseDragged(at);
        if (step < kDragSteps) return this->drag(drag, step + 1, std::move(then));
        position = drag.to;
        translator.mouseUp(LocalButton::left, drag.to);
        then();
    });
}

// Modifier keys go down first and come up last, as a person presses them.
void InputScriptPlayer::key(const InputScript::Key& key) {
    struct Modifier {
        bool wanted;
        uint32_t keysym;
        bool LocalModifiers::*flag;
    };
    const Modifier modifiers[] = {{key.modifiers.control, kControlL, &LocalModifiers::control},
                                  {key.modifiers.shift, kShiftL, &LocalModifiers::shift},
                                  {key.modifiers.alt, kAltL, &LocalModifiers::alt},
                                  {key.modifiers.super, kSuperL, &LocalModifiers::super}};
    LocalModifiers held;
    for (const Modifier& modifier : modifiers) {
        if (!modifier.wanted) continue;
        held.*modifier.flag = true;
        translator.keyDown({modifier.keysym, held, false});
    }
    translator.keyDown({key.keysym, held, false});
    translator.keyUp({key.keysym, held, false});
    for (auto it = std::rbegin(modifiers); it != std::rend(modifiers); ++it) {
        if (!it->wanted) continue;
        held.*(it->flag) = false;
        translator.keyUp({it->keysym, held, false});
    }
}

} // namespace quorlinth
