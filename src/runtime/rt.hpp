// The native runtime layer: everything a module needs, in one include.
#pragma once

#include "boundary.hpp"
#include "docs.hpp"
#include "frames.hpp"
#include "function.hpp"
#include "iterate.hpp"
#include "lookup.hpp"
#include "module.hpp"
#include "names.hpp"
#include "notes.hpp"
#include "recursion.hpp"
#include "ref.hpp"
#include "text.hpp"
#include "unpacking.hpp"
