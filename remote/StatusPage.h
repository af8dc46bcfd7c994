// The live status page: one HTML document with its style and script, built
// into the program from remote/StatusPage.html. It loads nothing else but
// the station's own event stream.
#pragma once

#include <string_view>

std::string_view StatusPageHtml();
