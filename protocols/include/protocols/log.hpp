// A minimal logging facade: records go to one global sink when the global
// maximum level admits them. The maximum starts at Off and no sink is
// installed, so by default every record is discarded.
#pragma once

#include <string_view>

namespace protocols::log {

enum class Level { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };
enum class LevelFilter { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

struct Record {
    Level level;
    std::string_view target;   // module path, e.g. "protocols::lcsettings"
    std::string_view message;
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual void log(const Record& record) = 0;
};

// Installs the global sink (nullptr removes it); the caller keeps ownership
// and must keep it alive while installed.
void set_sink(Sink* sink) noexcept;
void set_max_level(LevelFilter filter) noexcept;
LevelFilter max_level() noexcept;
bool enabled(Level level) noexcept;

// Passes the record to the sink if the maximum level admits it.
void emit(Level level, std::string_view target, std::string_view message);

}  // namespace protocols::log
