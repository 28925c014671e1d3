// The native runtime layer: everything a module needs, in one include.
#pragma once

#include "async_guard.hpp"
#include "boundary.hpp"
#include "function.hpp"
#include "globals.hpp"
#include "module.hpp"
#include "notes.hpp"
#include "ref.hpp"
#include "unpacking.hpp"
