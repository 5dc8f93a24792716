// Protocol.save (the save group).
#pragma once

#include <string>

#include "method_frame.hpp"

namespace pyvexa::methods {

void save(ProtocolObject& protocol, const std::string& filepath);

inline constexpr auto kSave = method<Exclusive>("save", save, param<arg_text>("filepath"));

inline auto save_entries() { return method_entries<kSave>(); }

}  // namespace pyvexa::methods
