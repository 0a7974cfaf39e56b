// bench_json.hpp - the JSON that `vcp bench` writes: objects, arrays,
// integers, real numbers, text and truth values.
#pragma once

#include <fmt/format.h>

#include <cmath>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vcp {

class JsonOut {
public:
    void Begin() { Open('{', '}'); }
    void BeginArray() { Open('[', ']'); }
    void End()
    {
        Level level = stack_.back();
        stack_.pop_back();
        if (!level.empty) {
            out_ += '\n';
            Indent();
        }
        out_ += level.close;
    }
    void Key(std::string_view key)
    {
        Separate();
        Quote(key);
        out_ += ": ";
        afterKey_ = true;
    }
    void Value(std::string_view text)
    {
        Separate();
        Quote(text);
    }
    void Value(const char *text) { Value(std::string_view(text)); }
    void Value(const std::string &text) { Value(std::string_view(text)); }
    void Value(bool b)
    {
        Separate();
        out_ += b ? "true" : "false";
    }
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
    void Value(T n)
    {
        Separate();
        out_ += fmt::format("{}", n);
    }
    void Value(double x)
    {
        Separate();
        out_ += std::isfinite(x) ? fmt::format("{:.6g}", x) : "null";
    }
    template <class T> void Field(std::string_view key, const T &v)
    {
        Key(key);
        Value(v);
    }
    const std::string &str() const { return out_; }

private:
    struct Level {
        char close;
        bool empty;
    };
    void Open(char open, char close)
    {
        Separate();
        out_ += open;
        stack_.push_back({close, true});
    }
    void Indent() { out_.append(stack_.size() * 2, ' '); }
    void Separate()
    {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (stack_.empty())
            return;
        if (!stack_.back().empty)
            out_ += ',';
        stack_.back().empty = false;
        out_ += '\n';
        Indent();
    }
    void Quote(std::string_view s)
    {
        out_ += '"';
        for (unsigned char c : s) {
            if (c == '"' || c == '\\')
                out_ += {'\\', char(c)};
            else if (c < 0x20)
                out_ += fmt::format("\\u{:04x}", c);
            else
                out_ += char(c);
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<Level> stack_;
    bool afterKey_ = false;
};

}  // namespace vcp
