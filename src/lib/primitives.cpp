// The engine's contact primitives as plain module functions, so Python code
// can run the exact arithmetic of the tick on a single pair of bodies.

#include "primitives.hpp"

#include "binder.hpp"
#include "collision.hpp"
#include "convert.hpp"

namespace {

// (distance, (nx, ny)), or None when the segment does not govern the point.
PyRef contact_result(const SegmentContact& contact) {
    if (!contact.hit) return PyRef(Py_NewRef(Py_None));
    return py_tuple(py_float(contact.distance), py_vec2(contact.normal));
}

constexpr const char* DISC_DISC_NAMES[] = {"pa", "pb", "va", "vb", "ra", "rb", "ima", "imb", "ba", "bb"};
constexpr Signature DISC_DISC{"disc_disc()", DISC_DISC_NAMES, 10};

PyObject* disc_disc_py(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        PyObject* a[10];
        bind_arguments(DISC_DISC, args, nargsf, kwnames, a);
        Vec2 pa = arg_vec2(a[0], "pa");
        Vec2 pb = arg_vec2(a[1], "pb");
        Vec2 va = arg_vec2(a[2], "va");
        Vec2 vb = arg_vec2(a[3], "vb");
        const double ra = arg_f64(a[4], "ra");
        const double rb = arg_f64(a[5], "rb");
        const double ima = arg_f64(a[6], "ima");
        const double imb = arg_f64(a[7], "imb");
        const double ba = arg_f64(a[8], "ba");
        const double bb = arg_f64(a[9], "bb");
        disc_disc(pa, pb, va, vb, ra, rb, ima, imb, ba, bb);
        return py_tuple(py_vec2(pa), py_vec2(pb), py_vec2(va), py_vec2(vb)).release();
    });
}

constexpr const char* DISC_VERTEX_NAMES[] = {"pd", "pv", "v", "radius", "bd", "bv"};
constexpr Signature DISC_VERTEX{"disc_vertex()", DISC_VERTEX_NAMES, 6};

PyObject* disc_vertex_py(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        PyObject* a[6];
        bind_arguments(DISC_VERTEX, args, nargsf, kwnames, a);
        Vec2 pd = arg_vec2(a[0], "pd");
        const Vec2 pv = arg_vec2(a[1], "pv");
        Vec2 v = arg_vec2(a[2], "v");
        const double radius = arg_f64(a[3], "radius");
        const double bd = arg_f64(a[4], "bd");
        const double bv = arg_f64(a[5], "bv");
        disc_vertex(pd, pv, v, radius, bd, bv);
        return py_tuple(py_vec2(pd), py_vec2(v)).release();
    });
}

constexpr const char* SEGMENT_NO_CURVE_NAMES[] = {"pd", "v0", "v1"};
constexpr Signature SEGMENT_NO_CURVE{"segment_no_curve()", SEGMENT_NO_CURVE_NAMES, 3};

PyObject* segment_no_curve_py(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        PyObject* a[3];
        bind_arguments(SEGMENT_NO_CURVE, args, nargsf, kwnames, a);
        const Vec2 pd = arg_vec2(a[0], "pd");
        const Vec2 v0 = arg_vec2(a[1], "v0");
        const Vec2 v1 = arg_vec2(a[2], "v1");
        return contact_result(segment_no_curve(pd, v0, v1)).release();
    });
}

constexpr const char* SEGMENT_CURVE_NAMES[] = {"pd", "c", "cr", "t0", "t1", "curve"};
constexpr Signature SEGMENT_CURVE{"segment_curve()", SEGMENT_CURVE_NAMES, 6};

PyObject* segment_curve_py(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        PyObject* a[6];
        bind_arguments(SEGMENT_CURVE, args, nargsf, kwnames, a);
        const Vec2 pd = arg_vec2(a[0], "pd");
        const Vec2 c = arg_vec2(a[1], "c");
        const double cr = arg_f64(a[2], "cr");
        const Vec2 t0 = arg_vec2(a[3], "t0");
        const Vec2 t1 = arg_vec2(a[4], "t1");
        const double curve = arg_f64(a[5], "curve");
        return contact_result(segment_curve(pd, c, cr, t0, t1, curve)).release();
    });
}

constexpr const char* DISC_PLANE_NAMES[] = {"pd", "normal", "v", "dist", "radius", "bd", "bp"};
constexpr Signature DISC_PLANE{"disc_plane()", DISC_PLANE_NAMES, 7};

PyObject* disc_plane_py(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        PyObject* a[7];
        bind_arguments(DISC_PLANE, args, nargsf, kwnames, a);
        Vec2 pd = arg_vec2(a[0], "pd");
        const Vec2 normal = arg_vec2(a[1], "normal");
        Vec2 v = arg_vec2(a[2], "v");
        const double dist = arg_f64(a[3], "dist");
        const double radius = arg_f64(a[4], "radius");
        const double bd = arg_f64(a[5], "bd");
        const double bp = arg_f64(a[6], "bp");
        disc_plane(pd, normal, v, dist, radius, bd, bp);
        return py_tuple(py_vec2(pd), py_vec2(v)).release();
    });
}

PyMethodDef function_defs[] = {
    {"disc_disc", as_cfunction(disc_disc_py), FASTCALL_KEYWORDS,
     "disc_disc(pa, pb, va, vb, ra, rb, ima, imb, ba, bb)\n--\n\n"},
    {"disc_vertex", as_cfunction(disc_vertex_py), FASTCALL_KEYWORDS, "disc_vertex(pd, pv, v, radius, bd, bv)\n--\n\n"},
    {"segment_no_curve", as_cfunction(segment_no_curve_py), FASTCALL_KEYWORDS, "segment_no_curve(pd, v0, v1)\n--\n\n"},
    {"segment_curve", as_cfunction(segment_curve_py), FASTCALL_KEYWORDS,
     "segment_curve(pd, c, cr, t0, t1, curve)\n--\n\n"},
    {"disc_plane", as_cfunction(disc_plane_py), FASTCALL_KEYWORDS,
     "disc_plane(pd, normal, v, dist, radius, bd, bp)\n--\n\n"},
};

}  // namespace

std::span<PyMethodDef> primitive_function_defs() { return function_defs; }
