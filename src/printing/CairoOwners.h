#pragma once
#include <cairo.h>
#include <glib-object.h>

#include <memory>

namespace norvane {

// Owners of cairo and pango objects: each frees its object once, whichever way the owner
// goes (a finished job, an exception half-way through a receipt, a renderer destroyed open).
struct CairoSurfaceFree {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct CairoContextFree {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
struct GObjectFree {
  void operator()(void* o) const { g_object_unref(o); }
};

using CairoSurface = std::unique_ptr<cairo_surface_t, CairoSurfaceFree>;
using CairoContext = std::unique_ptr<cairo_t, CairoContextFree>;
template <typename T>
using GObjectOwner = std::unique_ptr<T, GObjectFree>;

}  // namespace norvane
