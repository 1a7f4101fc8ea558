// SPDX-License-Identifier: MIT
//
// shown_name.h - a name from outside (a file name, a key ring's comment) as
// messages show it, one way for every reader and front end: a name with a
// line end or a terminal control must not forge a line of the tool's output.
#pragma once

#include <string>
#include <string_view>

namespace trirotor::support {

// As it stands when it is printable UTF-8, else in double quotes with \n,
// \t, \r, \", \\ and \xHH for the rest.
std::string ShownName(std::string_view name);

}  // namespace trirotor::support
