// vantrel.template: TemplateEngine, a Jinja2 environment with a fixed
// configuration and a search path that callers can extend at the front.
#include "frame/frame.hpp"

#include <array>

using namespace vantrel;

namespace {

void module_body(ModuleFrame& frame, PyObject* module);

ModuleFrame template_module{"template", "vantrel.template", module_body};

Name n_Path{"Path"};
Name n_Environment{"Environment"};
Name n_FileSystemLoader{"FileSystemLoader"};
Name n_TemplateNotFound{"TemplateNotFound"};
Name n_DEFAULT_TEMPLATE_DIR{"_DEFAULT_TEMPLATE_DIR"};
Name n_file{"__file__"};
Name n_parent{"parent"};
Name n_env{"_env"};
Name n_loader{"loader"};
Name n_searchpath{"searchpath"};
Name n_insert{"insert"};
Name n_cache{"cache"};
Name n_clear{"clear"};
Name n_get_template{"get_template"};
Name n_from_string{"from_string"};
Name n_render{"render"};
KwNames kw_environment{"loader", "autoescape"};

// What an `except` clause accepts: an exception class or a tuple of them.
bool is_exception_class_or_tuple(PyObject* target) {
    if (!PyTuple_Check(target)) return PyExceptionClass_Check(target);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(target); ++i) {
        if (!PyExceptionClass_Check(PyTuple_GET_ITEM(target, i))) return false;
    }
    return true;
}

// The rendered text of a template object, called with the context's entries as
// keyword arguments.
Ref render_template(const Ref& template_, PyObject* context) {
    Ref render = getattr(template_, n_render);
    return call_with_keywords(render.get(), context);
}

// ---------------------------------------------------------------------------
// class TemplateEngine

constexpr Param init_params[] = {
    self_param,
    {"template_dir", "Optional[str]", Rule::OptStr, Default::None},
};

Ref TemplateEngine_init(FunctionObject*, Args<init_params> args) {
    PyObject* engine = args["self"];
    PyObject* template_dir = args["template_dir"];
    Ref search_paths = checked(PyList_New(0));
    if (truth(template_dir)) checked(PyList_Append(search_paths.get(), template_dir));
    Ref builtin_dir = template_module.global(n_DEFAULT_TEMPLATE_DIR);
    if (!PyUnicode_CheckExact(builtin_dir.get())) {
        builtin_dir = checked(PyObject_Str(builtin_dir.get()));
    }
    checked(PyList_Append(search_paths.get(), builtin_dir.get()));
    Ref environment = template_module.global(n_Environment);
    Ref file_system_loader = template_module.global(n_FileSystemLoader);
    Ref loader = call(file_system_loader, search_paths);
    Ref env = call_kw(environment, kw_environment, loader, Py_True);
    setattr(engine, n_env, env.get());
    return none();
}

const Signature init_signature = define<TemplateEngine_init>({
    .name = "__init__",
});

constexpr Param render_params[] = {
    self_param,
    {"template_name", "str", Rule::Str, Default::Required},
    {"context", "dict", Rule::Dict, Default::Required},
};

Ref TemplateEngine_render(FunctionObject*, Args<render_params> args) {
    PyObject* engine = args["self"];
    PyObject* template_name = args["template_name"];
    PyObject* context = args["context"];
    Ref env = getattr(engine, n_env);
    Ref template_ = Ref::steal(PyObject_VectorcallMethod(
        n_get_template.get(), std::array<PyObject*, 2>{env.get(), template_name}.data(), 2,
        nullptr));
    if (!template_) {
        // Only a template that cannot be found by this name means "no
        // template"; a missing include or parent is an error in a template
        // that exists, and is raised while rendering below.
        Ref pending = Ref::steal(PyErr_GetRaisedException());
        bool not_found;
        {
            // As `except TemplateNotFound:` does it, the name is looked up
            // and tested while the failure is the exception being handled:
            // an error on the way (a NameError, a TypeError for a name bound
            // to something else) carries the failure as its context.
            Handling handling(pending.get());
            Ref target = template_module.global(n_TemplateNotFound);
            if (!is_exception_class_or_tuple(target.get())) {
                raise(PyExc_TypeError,
                      "catching classes that do not inherit from BaseException is not allowed");
            }
            not_found = PyErr_GivenExceptionMatches(pending.get(), target.get());
        }
        if (not_found) return none();
        reraise(std::move(pending));
    }
    return render_template(template_, context);
}

const Signature render_signature = define<TemplateEngine_render>({
    .name = "render",
    .doc = "\n        Render a template by name.\n\n"
           "        Returns the rendered string, or None if the template does not exist.\n        ",
    .returns = "Optional[str]",
    .result = Result::OptStr,
});

constexpr Param render_string_params[] = {
    self_param,
    {"template_string", "str", Rule::Str, Default::Required},
    {"context", "dict", Rule::Dict, Default::Required},
};

Ref TemplateEngine_render_string(FunctionObject*, Args<render_string_params> args) {
    Ref env = getattr(args["self"], n_env);
    Ref template_ = call_method(env, n_from_string, args["template_string"]);
    return render_template(template_, args["context"]);
}

const Signature render_string_signature = define<TemplateEngine_render_string>({
    .name = "render_string",
    .doc = "\n        Render an inline Jinja2 string with the given context.\n        ",
    .returns = "str",
    .result = Result::Str,
});

constexpr Param add_template_dir_params[] = {
    self_param,
    {"directory", "str", Rule::Str, Default::Required},
};

Ref TemplateEngine_add_template_dir(FunctionObject*, Args<add_template_dir_params> args) {
    PyObject* directory = args["directory"];
    Ref env = getattr(args["self"], n_env);
    Ref loader = getattr(env, n_loader);
    Ref searchpath = getattr(loader, n_searchpath);
    if (PyList_CheckExact(searchpath.get())) {
        // An exact list has no insert but list.insert: call it directly.
        checked(PyList_Insert(searchpath.get(), 0, directory));
    } else {
        Ref front = checked(PyLong_FromLong(0));
        call_method(searchpath, n_insert, front, directory);
    }
    // Jinja2 caches templates by name: without this, a name loaded before
    // would keep coming from its old directory.
    Ref owned = optional_attr(env.get(), n_cache);
    if (owned && owned.get() != Py_None) {
        // Clearing takes the cache's lock; a cache that says it is empty has
        // nothing to drop.  One that has no length is cleared all the same.
        // (The length is asked directly: a truth test would first look for a
        // __bool__ that Jinja2's cache does not have, on every call.)
        PyTypeObject* type = Py_TYPE(owned.get());
        const bool has_length = (type->tp_as_mapping && type->tp_as_mapping->mp_length) ||
                                (type->tp_as_sequence && type->tp_as_sequence->sq_length);
        Py_ssize_t size = 1;
        if (has_length && (size = PyObject_Size(owned.get())) < 0) raise_error();
        if (size != 0) call_method(owned, n_clear);
    }
    return none();
}

const Signature add_template_dir_signature = define<TemplateEngine_add_template_dir>({
    .name = "add_template_dir",
    .doc = "Add an additional template search directory (prepended for priority).",
    .returns = "None",
});

constexpr Param env_params[] = {self_param};

Ref TemplateEngine_env(FunctionObject*, Args<env_params> args) {
    return getattr(args["self"], n_env);
}

const Signature env_signature = define<TemplateEngine_env>({
    .name = "env",
    .doc = "Access the underlying Jinja2 Environment for advanced usage.",
    .returns = "Environment",
});

constexpr const char* class_doc = "\n    Jinja2-based template renderer.\n\n"
                                  "    Templates are looked up in the following order:\n"
                                  "    1. User-provided template directory (if given).\n"
                                  "    2. Built-in templates directory (vantrel/templates).\n    ";

void module_body(ModuleFrame& frame, PyObject*) {
    frame.import_from("pathlib", {"Path"});
    frame.import_from("typing", {"Optional"});
    frame.import_from("jinja2", {"Environment", "FileSystemLoader", "TemplateNotFound"});

    Ref path = call(frame.global(n_Path), frame.global(n_file));
    Ref parent = getattr(path, n_parent);
    Ref templates = checked(PyUnicode_FromString("templates"));
    Ref builtin_dir = checked(PyNumber_TrueDivide(parent.get(), templates.get()));
    frame.bind("_DEFAULT_TEMPLATE_DIR", builtin_dir.get());

    Ref engine = frame.make_class("TemplateEngine", class_doc,
                                  {init_signature,
                                   render_signature,
                                   render_string_signature,
                                   add_template_dir_signature,
                                   {env_signature, Method::Property}});
    frame.bind("TemplateEngine", engine.get());
}

} // namespace

PyMODINIT_FUNC PyInit_template() noexcept {
    return template_module.init();
}
