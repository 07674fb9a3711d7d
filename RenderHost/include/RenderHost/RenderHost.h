// The render host: worlds, the host with its suites and callbacks, plug-in
// modules and effect instances.
#ifndef ORVANE_RENDERHOST_RENDERHOST_H
#define ORVANE_RENDERHOST_RENDERHOST_H

#include <RenderHost/Effect.h>
#include <RenderHost/Host.h>
#include <RenderHost/PluginModule.h>
#include <RenderHost/ThreadPool.h>
#include <RenderHost/World.h>

#endif
