// Standalone Asio for the card host's own files, with the warnings that our
// flags raise inside its headers silenced.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#include <asio.hpp>
#pragma GCC diagnostic pop
