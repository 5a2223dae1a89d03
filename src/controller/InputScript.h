#pragma once

#include "base/Result.h"
#include "base/Scheduler.h"
#include "controller/ControllerInputTranslator.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorlinth {

// A script of local input events, one per line, coordinates as fractions of the picture
// (outside 0..1 is outside the picture):
//
//   move X Y                  hover to a point
//   click [left|right]        press and release at the last point (left when not named)
//   drag X1 Y1 X2 Y2          left button from one point to another
//   scroll DX DY              scroll deltas in pixels (positive DY scrolls up)
//   type TEXT                 the rest of the line, any script
//   key NAME [MODIFIER...]    an X keysym name; modifiers ctrl, shift, alt, super
//   wait MS                   pause
//
// "#" at the start of a line, or as a word after a command's arguments, starts a comment.
struct InputScript {
    struct Move {
        PicturePoint to;
    };
    struct Click {
        LocalButton button = LocalButton::left;
    };
    struct Drag {
        PicturePoint from;
        PicturePoint to;
    };
    struct Scroll {
        double dx = 0;
        double dy = 0;
    };
    struct Type {
        std::string text;
    };
    struct Key {
        uint32_t keysym = 0;
        LocalModifiers modifiers;
    };
    struct Wait {
        int64_t milliseconds = 0;
    };
    using Action = std::variant<Move, Click, Drag, Scroll, Type, Key, Wait>;

    struct Step {
        int line = 0; // 1-based
        Action action;
    };

    static constexpr size_t kMaxBytes = 1 << 20;
    static constexpr int64_t kMaxWait = 600'000; // milliseconds

    std::vector<Step> steps;

    // The first malformed line fails the whole script, named by its number, in Chinese.
    static Result<InputScript> parse(std::string_view text);
    static Result<InputScript> read(const std::filesystem::path& file);
};

// Plays a script through a translator on the main queue, spacing the events so that the
// translator's throttles never drop one: hover moves and steps 50 ms apart, a drag in ten moves
// 25 ms apart. Stops with the object.
class InputScriptPlayer {
public:
    static constexpr Millis kStepGap{50};
    static constexpr Millis kDragStepGap{25};
    static constexpr int kDragSteps = 10;

    InputScriptPlayer(InputScript script, ControllerInputTranslator& translator, Dispatcher& mainQueue);

    // `done` runs on the main queue after the last step.
    void start(std::function<void()> done);
    void stop() { timer.cancel(); }
    bool finished() const { return complete; }

private:
    void runNext();
    void after(Millis delay, Task task);
    void perform(const InputScript::Action& action, std::function<void()> then);
    void drag(const InputScript::Drag& drag, int step, std::function<void()> then);
    void key(const InputScript::Key& key);

    InputScript script;
    ControllerInputTranslator& translator;
    Dispatcher& mainQueue;
    std::function<void()> done;
    size_t next = 0;
    bool complete = false;
    std::optional<PicturePoint> position;
    Timer timer;
};

} // namespace quorlinth
