// The framework's door: exceptions, streams, paths, string lists and picture classes.
#pragma once

#include "framework/exceptions.h"
#include "framework/graphics.h"
#include "framework/paths.h"
#include "framework/streams.h"
#include "framework/string_list.h"
