// seed.h - the demo data set ("--seed demo") and the small JPEG writer that
// makes its pictures.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "files.h"
#include "store.h"

namespace kxcloud {

// A baseline JPEG of w x h pixels (multiples of 8) made of flat 8x8 blocks,
// each coloured by `color(bx, by)` as 0xRRGGBB.
std::string make_jpeg(int w, int h, const std::function<uint32_t(int, int)> &color);

// Creates the demo account "demo@kexaro.test" (password "demo", token
// "demo-token"), its devices, services, albums, folders and pictures.
// A non-zero `quota` replaces the size of every service (tests use it).
int seed_demo(Store &store, Content &content, int64_t quota);

}  // namespace kxcloud
