// zarvosdk.forecast_tool: the forecast tool the language model calls with a
// JSON text, and the least-squares forecaster behind it.
#include "../frame/attributes.hpp"
#include "../frame/call.hpp"
#include "../frame/class_builder.hpp"
#include "../frame/containers.hpp"
#include "../frame/conversions.hpp"
#include "../frame/coroutine.hpp"
#include "../frame/function.hpp"
#include "../frame/imports.hpp"
#include "../frame/module_state.hpp"
#include "moved_names.hpp"

namespace {

using zv::Borrowed;
using zv::Exact;
using zv::Ref;

#define NAMES(X)                                                                             \
    X(pd) X(DataFrame) X(to_datetime) X(Timestamp) X(json) X(loads) X(re) X(match) X(group)   \
    X(parser) X(parse) X(strftime) X(LinearRegression) X(fit) X(predict) X(set_index)         \
    X(inplace) X(timestamp) X(values) X(max) X(empty) X(days) X(datetime) X(timedelta)        \
    X(conv_date) X(ts_forecast) X(data_input) X(date) X(period) X(error) X(traceback)         \
    X(print_exc) X(name) X(description) X(BaseModel) X(Field) X(BaseTool)     \
    X(model_config) X(ignored_types) X(tool_input) X(arbitrary_types_allowed) X(input) X(data) X(df)        \
    X(ForecastInput) X(ForecastTool) X(Config) X(run) X(callbacks) X(index) X(pop)           \
    X(pandas) X(warnings) X(catch_warnings) X(record) X(simplefilter) X(category)

#define TEXTS(X)                                                                              \
    X(single_quote, "'") X(double_quote, "\"") X(decimal_pattern, "Decimal\\('[\\d.]+'\\)")   \
    X(date_format, "%Y-%m-%d") X(epoch_text, "1970-01-01") X(dates, "dates")                  \
    X(forecasted_values, "Forecasted_values")                                                 \
    X(empty_result, "Forecasting produced an empty DataFrame.")                              \
    X(no_async, "ForecastTool does not support async")                                       \
    X(arun_name, "_arun") X(arun_qualname, "ForecastTool._arun")                             \
    X(tool_name, "forecast") X(tool_description, "\n    Use this tool for time series forecasting\n    ") \
    X(df_description, "Input dataset as a DataFrame") X(period_description, "The period to forecast") \
    X(return_key, "return") X(str_text, "str") X(int_text, "int") X(dict_text, "Dict")      \
    X(data_frame_text, "pd.DataFrame") X(always, "always") X(enter, "__enter__") X(exit, "__exit__")

#define BUILTINS(X) X(NotImplementedError) X(sum) X(range)

struct {
    NAMES(ZV_DECLARE_NAME)
    TEXTS(ZV_DECLARE_TEXT)
    zv::Persistent one, year_1970;
    zv::Persistent digits;        // [9:-2]: the digits of "Decimal('…')"
    zv::Persistent run_handler;   // traceback entry of a failure _run handles
    zv::Persistent probed_frame_type;  // the DataFrame type whose set_index was tried
    bool inplace_deprecated = false;   // whether its set_index warned of `inplace`
} names;

ZV_BUILTINS(BUILTINS);

void make_constants() {
    ZV_INTERN_TABLES(NAMES, TEXTS)
    names.one.set(zv::integer(1));
    names.year_1970.set(zv::integer(1970));
    names.digits.set(zv::own(PySlice_New(zv::integer(9).get(), zv::integer(-2).get(), nullptr)));
}

void run_top_level(zv::ModuleState& state);

zv::ModuleState module_state = zv::define_module([](zv::ModuleDescription& description) {
    description.qualified_name = "zarvosdk.forecast_tool";
    description.source_file = "src/zarvosdk/forecast_tool.cpp";
    description.finds_moved_names(zarvosdk::moved_names);
    description.uses_builtins(builtin_table);
    description.constants = make_constants;
    description.body = run_top_level;
    description.registers_coroutine_type = true;
});

/// A dict with exactly one key, "error".
Ref error_record(Borrowed text) { return zv::dict({{names.error, text}}); }

/// A list of one-element lists: the feature matrix of a one-variable model.
Ref as_column(Borrowed numbers) {
    return zv::list_of(numbers, [](PyObject* x) { return zv::list({x}); });
}

// Value normalisation --------------------------------------------------------

/// The number spelled between the quotes of a `Decimal('…')` text, or null
/// when the item does not start with that form.
Ref decimal_text_value(PyObject* item) {
    Ref match = zv::getattr(module_state.global(names.re), names.match);
    Ref found = zv::call(match, {names.decimal_pattern, item});
    if (found.get() == Py_None) return Ref();
    Ref text = zv::call_method(found, names.group);
    // "Decimal('" and "')" surround the digits: float(text[9:-2]). The match may
    // come from a stand-in for `re`, so the host's subscript and conversion
    // judge whatever type its group() returns.
    return zv::own(PyNumber_Float(zv::getitem(text, names.digits).get()));
}

/// One value item as the forecaster takes it: a `Decimal('…')` text as its
/// number, a two-element pair as its second element, anything else unchanged.
Ref normalise_value(PyObject* item) {
    if (PyUnicode_CheckExact(item)) {
        if (Ref number = decimal_text_value(item)) return number;
    } else if (PyList_CheckExact(item) && PyList_GET_SIZE(item) == 2) {
        return Ref::borrow(PyList_GET_ITEM(item, 1));
    } else if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        return Ref::borrow(PyTuple_GET_ITEM(item, 1));
    }
    return Ref::borrow(item);
}

/// Each date through `conv_date`, looked up for each one.
Ref standardise_dates(Borrowed dates) {
    return zv::list_of(dates, [](PyObject* d) { return zv::call(module_state.global(names.conv_date), {d}); });
}

// ForecastTool._run -----------------------------------------------------------

/// Decodes the request, builds the input table and forecasts (steps that run
/// under the tool's exception handler).
Ref forecast_request(PyObject* text) {
    Ref request = zv::call(zv::getattr(module_state.global(names.json), names.loads), {text});
    Ref data = zv::getitem(request, names.data_input);
    Ref dates = zv::getitem(data, names.date);
    Ref sequence = zv::getitem(data, names.values);
    Ref seq = zv::list_of(sequence, normalise_value);
    dates = standardise_dates(dates);
    Ref data_frame_type = zv::getattr(module_state.global(names.pd), names.DataFrame);
    Ref df = zv::call(data_frame_type, {zv::dict({{names.timestamp, dates}, {names.values, seq}})});
    Ref period = zv::getitem(request, names.period);
    Ref result = zv::call(module_state.global(names.ts_forecast), {df, period});
    if (zv::truth(zv::getattr(result, names.empty))) return error_record(names.empty_result);
    return result;
}

/// The text with every single quote turned into a double quote, or the text
/// itself when it has none.
Ref double_quoted(PyObject* text) {
    Py_ssize_t quote = PyUnicode_FindChar(text, '\'', 0, PyUnicode_GET_LENGTH(text), 1);
    if (quote == -2) zv::raise();
    if (quote < 0) return Ref::borrow(text);
    return zv::own(PyUnicode_Replace(text, names.single_quote.get(), names.double_quote.get(), -1));
}

Ref tool_run(PyObject* const* args) {
    Ref traceback = zv::import_plain_module(module_state, names.traceback);
    Ref text = double_quoted(args[1]);
    try {
        return forecast_request(text.get());
    } catch (const zv::Error&) {
        // Anything but an Exception leaves unhandled, with the one traceback
        // entry that every failure leaving the function gets.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        module_state.add_traceback(names.run_handler, "ForecastTool._run", __LINE__);
        zv::Handler handler;
        zv::call_method(traceback, names.print_exc);
        return error_record(zv::str(handler.value()));
    }
}

Ref refuse_async(PyObject*) {
    zv::raise(builtins.NotImplementedError.get(), "%U", names.no_async.get());
}

Ref tool_arun(PyObject* const*) {
    return zv::make_coroutine(refuse_async, Py_None, names.arun_name.get(), names.arun_qualname.get());
}

/// `tool(tool_input, callbacks=None)`: runs the tool on the input, as the
/// framework's tool base did while it was callable.
Ref tool_call(PyObject* const* args) {
    return zv::call_method(args[0], names.run, {args[1]}, {{names.callbacks, args[2]}});
}

const zv::FunctionDef tool_call_def{
    "__call__", "ForecastTool.__call__", "Make tool callable.", ZV_HERE, tool_call,
    {{"self"}, {"tool_input"}, {"callbacks"}}};
const zv::FunctionDef tool_run_def{
    "_run", "ForecastTool._run", "Time series forecasting.", ZV_HERE, tool_run,
    {{"self"}, {"input", Exact::str}}};
const zv::FunctionDef tool_arun_def{
    "_arun", "ForecastTool._arun", nullptr, ZV_HERE, tool_arun,
    {{"self"}, {"data", Exact::str}}, zv::Coroutine};


/// What a pydantic v2 tool base needs in the class namespace besides the plain
/// class body: annotations for the overridden fields `name` and `description`
/// (v2 refuses a field override without one), and the package's function type
/// among the model's ignored types, so that `_run` and `_arun` stay methods
/// instead of being taken for private attributes (v2 only passes over the
/// host's own function type and the other descriptors it knows).
void declare_for_pydantic_v2(PyObject* ns) {
    Ref annotations = zv::dict({{names.name, names.str_text}, {names.description, names.str_text}});
    zv::set_entry(ns, "__annotations__", annotations.get());
    Ref ignored = zv::tuple({reinterpret_cast<PyObject*>(zv::function_type())});
    zv::set_entry(ns, names.model_config, zv::dict({{names.ignored_types, ignored}}));
}

/// Whether instances of the class `base` can be called (a class that is not
/// a type counts as callable: nothing is added for it).
bool instances_callable(PyObject* base) {
    return !PyType_Check(base) || reinterpret_cast<PyTypeObject*>(base)->tp_call != nullptr;
}

void tool_body(zv::ModuleState& state, PyObject* ns) {
    // The framework's 0.3 line has a pydantic v2 tool base; the 0.2 line's is a
    // pydantic v1 model, which takes the class body as it is.
    if (zv::is_pydantic_v2_model(state.global(names.BaseTool).get())) declare_for_pydantic_v2(ns);
    zv::set_entry(ns, names.name, names.tool_name);
    zv::set_entry(ns, names.description, names.tool_description);
    zv::define_method(state, ns, tool_run_def, nullptr,
                      zv::dict({{names.input, names.str_text}, {names.return_key, names.dict_text}}).get());
    zv::define_method(state, ns, tool_arun_def, nullptr,
                      zv::dict({{names.data, names.str_text}, {names.return_key, names.str_text}}).get());
    // The framework's 1.x tool base is no longer callable; the framework's
    // Tool still takes the tool object as its function there.
    if (!instances_callable(state.global(names.BaseTool).get()))
        zv::define_method(state, ns, tool_call_def, zv::tuple({Py_None}),
                          zv::dict({{names.tool_input, names.str_text}, {names.return_key, names.str_text}}).get());
}

// ForecastInput ----------------------------------------------------------------

void config_body(zv::ModuleState&, PyObject* ns) {
    zv::set_entry(ns, names.arbitrary_types_allowed, Py_True);
}

void input_body(zv::ModuleState& state, PyObject* ns) {
    Ref hints = zv::own(PyDict_New());
    zv::set_entry(ns, "__annotations__", hints.get());
    zv::check(PyDict_SetItem(hints.get(), names.df.get(), names.data_frame_text.get()));
    zv::set_entry(ns, names.df, zv::call(state.global(names.Field), {}, {{names.description, names.df_description}}));
    zv::check(PyDict_SetItem(hints.get(), names.period.get(), names.int_text.get()));
    zv::set_entry(ns, names.period,
                  zv::call(state.global(names.Field), {}, {{names.description, names.period_description}}));
    Ref no_bases = zv::own(PyTuple_New(0));
    Ref config =
        zv::build_class(state, "Config", "ForecastInput.Config", no_bases.get(), nullptr, config_body);
    zv::set_entry(ns, names.Config, config);
}

// conv_date and ts_forecast -----------------------------------------------------

Ref conv_date(PyObject* const* args) {
    Ref parse = zv::getattr(module_state.global(names.parser), names.parse);
    Ref parsed = zv::call(parse, {args[0]});
    return zv::call_method(parsed, names.strftime, {names.date_format});
}

/// Whole days of `later - earlier`, taken toward minus infinity.
Ref days_between(PyObject* later, PyObject* earlier) {
    Ref difference = zv::own(PyNumber_Subtract(later, earlier));
    return zv::getattr(difference, names.days);
}

/// Day numbers of the training dates: days since pandas' 1970-01-01, the
/// epoch made anew for each date.
Ref training_days(Borrowed dates) {
    return zv::list_of(dates, [](PyObject* d) {
        Ref epoch = zv::call_method(module_state.global(names.pd), names.Timestamp, {names.epoch_text});
        return days_between(d, epoch.get());
    });
}

/// Mean whole-day step between consecutive dates, taken in ascending order so
/// that a series given newest first still steps forward in time.
Ref average_interval(Borrowed dates) {
    Ref ordered = zv::own(PySequence_List(dates));
    zv::check(PyList_Sort(ordered.get()));
    Ref intervals = zv::own(PyList_New(0));
    Py_ssize_t count = PyList_GET_SIZE(ordered.get());
    for (Py_ssize_t i = 0; i + 1 < count; ++i) {
        Ref step = days_between(PyList_GET_ITEM(ordered.get(), i + 1), PyList_GET_ITEM(ordered.get(), i));
        zv::check(PyList_Append(intervals.get(), step.get()));
    }
    Ref total = zv::call(builtins.sum, {intervals});
    Ref length = zv::own(PyLong_FromSsize_t(PyList_GET_SIZE(intervals.get())));
    return zv::own(PyNumber_TrueDivide(total.get(), length.get()));
}

/// `period` future points in time, `average` days apart, after `last_date`.
Ref future_points(Borrowed last_date, Borrowed period, Borrowed average) {
    Ref stop = zv::own(PyNumber_Add(period, names.one.get()));
    Ref steps = zv::call(builtins.range, {names.one, stop});
    return zv::list_of(steps, [&](PyObject* i) {
        Ref timedelta = module_state.global(names.timedelta);
        Ref days = zv::own(PyNumber_Multiply(i, average));
        Ref step = zv::call(timedelta, {}, {{names.days, days}});
        return zv::own(PyNumber_Add(last_date, step.get()));
    });
}

/// Day numbers of the future points: days since datetime(1970, 1, 1), the
/// epoch made anew for each point.
Ref future_days(Borrowed points) {
    return zv::list_of(points, [](PyObject* point) {
        Ref epoch = zv::call(module_state.global(names.datetime), {names.year_1970, names.one, names.one});
        return days_between(point, epoch.get());
    });
}

Ref date_texts(Borrowed points) {
    return zv::list_of(points, [](PyObject* point) { return zv::call_method(point, names.strftime, {names.date_format}); });
}

// Re-indexing the caller's table ----------------------------------------------------

/// Whether `set_index` of the DataFrame type `frame_type` warns that its
/// `inplace` keyword is deprecated (pandas 3.1 and later) or no longer takes
/// it: tried on a one-row table of that type with the warnings it raises
/// recorded, not shown. Warnings of other threads raised meanwhile are
/// recorded with them and not shown, as under any catch_warnings.
bool probe_inplace_deprecated(PyObject* frame_type) {
    Ref warnings = zv::import_plain_module(module_state, names.warnings);
    Ref catcher = zv::call(zv::getattr(warnings, names.catch_warnings), {}, {{names.record, Py_True}});
    Ref log = zv::call_method(catcher, names.enter);
    bool deprecated = false;
    try {
        zv::call_method(warnings, names.simplefilter, {names.always});
        Ref probe = zv::call(frame_type, {zv::dict({{names.timestamp, zv::list({names.one})}})});
        try {
            zv::call_method(probe, names.set_index, {names.timestamp}, {{names.inplace, Py_True}});
        } catch (const zv::Error&) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
            PyErr_Clear();
            deprecated = true;
        }
        Ref recorded = zv::own(PySequence_List(log.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(recorded.get()); ++i) {
            Ref category = zv::getattr(PyList_GET_ITEM(recorded.get(), i), names.category);
            if (PyType_Check(category.get()) &&
                PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(category.get()),
                                 reinterpret_cast<PyTypeObject*>(PyExc_DeprecationWarning)))
                deprecated = true;
        }
    } catch (const zv::Error&) {
        zv::SavedError failure;
        Ref ignored = Ref::steal(PyObject_CallMethodObjArgs(catcher.get(), names.exit.get(), Py_None,
                                                            Py_None, Py_None, nullptr));
        throw;
    }
    zv::call_method(catcher, names.exit, {Py_None, Py_None, Py_None});
    return deprecated;
}

/// Whether `df` is a table of pandas' own DataFrame type (or a subclass that
/// keeps its set_index) of a pandas whose set_index deprecates `inplace`.
bool needs_pop_route(PyObject* df) {
    Ref pandas = zv::import_plain_module(module_state, names.pandas);
    Ref frame_type = zv::getattr(pandas, names.DataFrame);
    if (!PyType_Check(frame_type.get()) || !zv::check(PyObject_IsInstance(df, frame_type.get())))
        return false;
    Ref own_method = zv::getattr(frame_type, names.set_index);
    Ref method = zv::getattr(reinterpret_cast<PyObject*>(Py_TYPE(df)), names.set_index);
    if (method.get() != own_method.get()) return false;
    if (names.probed_frame_type.get() != frame_type.get()) {
        names.inplace_deprecated = probe_inplace_deprecated(frame_type.get());
        names.probed_frame_type.set(std::move(frame_type));
    }
    return names.inplace_deprecated;
}

/// Makes the "timestamp" column the caller's table's index, in place:
/// `df.set_index("timestamp", inplace=True)`, or, where pandas deprecates
/// that keyword, `df.index = df.pop("timestamp")`, which leaves the same
/// table (the column gone, a DatetimeIndex named "timestamp").
void index_by_timestamp(PyObject* df) {
    if (needs_pop_route(df)) {
        Ref column = zv::call_method(df, names.pop, {names.timestamp});
        zv::setattr(df, names.index, column);
        return;
    }
    zv::call_method(df, names.set_index, {names.timestamp}, {{names.inplace, Py_True}});
}

Ref ts_forecast(PyObject* const* args) {
    PyObject* df = args[0];
    PyObject* period = args[1];
    Ref pd = module_state.global(names.pd);
    Ref converted = zv::call_method(pd, names.to_datetime, {zv::getitem(df, names.timestamp)});
    zv::setitem(df, names.timestamp, converted);
    Ref dates = zv::getitem(df, names.timestamp);
    Ref values = zv::getitem(df, names.values);
    index_by_timestamp(df);
    Ref training_x = training_days(dates);
    Ref model = zv::call(module_state.global(names.LinearRegression));
    zv::call_method(model, names.fit, {as_column(training_x), values});
    Ref average = average_interval(dates);
    Ref last_date = zv::call_method(dates, names.max);
    Ref points = future_points(last_date, period, average);
    Ref forecast_x = future_days(points);
    Ref forecast = zv::call_method(model, names.predict, {as_column(forecast_x)});
    Ref future_dates = date_texts(points);
    Ref data_frame_type = zv::getattr(module_state.global(names.pd), names.DataFrame);
    return zv::call(data_frame_type, {zv::dict({{names.dates, future_dates}, {names.forecasted_values, forecast}})});
}

const char ts_forecast_doc[] =
    "\n    Perform time series forecasting on a DataFrame with two columns (date and values).\n\n"
    "    Args:\n"
    "        df (pd.DataFrame): The DataFrame containing time series data with two columns.\n"
    "        period (int): The number of periods into the future to forecast.\n\n"
    "    Returns:\n"
    "        pd.DataFrame: A DataFrame with date and forecasted values.\n\n"
    "    Example Usage:\n"
    "    df = pd.read_csv('sales_data.csv')  # Load your data\n"
    "    forecasted_data = ts_forecast(df, 30)\n"
    "    ";

const zv::FunctionDef conv_date_def{"conv_date", "conv_date", nullptr, ZV_HERE, conv_date,
                                      {{"dt"}}};
const zv::FunctionDef ts_forecast_def{"ts_forecast", "ts_forecast", ts_forecast_doc, ZV_HERE,
                                        ts_forecast, {{"df"}, {"period", Exact::int_}},
                                        zv::HoldsArguments};

// Top level -----------------------------------------------------------------------

void run_top_level(zv::ModuleState& state) {
    ZV_LINE(state), zv::import_plain(state, "pandas", "pd");
    ZV_LINE(state), zv::import_from(state, "datetime", {"datetime", "timedelta"});
    ZV_LINE(state), zv::import_from(state, "dateutil", {"parser"});
    ZV_LINE(state), zv::import_from(state, "sklearn.linear_model", {"LinearRegression"});
    ZV_LINE(state), zv::import_plain(state, "re", "re");
    ZV_LINE(state), zv::import_from(state, "pydantic", {"BaseModel", "Field"});
    ZV_LINE(state), zv::import_from(state, "typing", {"Dict"});
    ZV_LINE(state), zv::import_plain(state, "json", "json");
    ZV_LINE(state), zv::import_from(state, "langchain.tools.base", {"BaseTool"});

    ZV_LINE(state);
    Ref input = zv::build_class(state, "ForecastInput", "ForecastInput",
                                zv::tuple({state.global(names.BaseModel)}).get(),
                                "\n    Inputs for the forecasting function.\n    ", input_body);
    state.set(names.ForecastInput, input.get());

    ZV_LINE(state);
    Ref tool = zv::build_class(state, "ForecastTool", "ForecastTool",
                               zv::tuple({state.global(names.BaseTool)}).get(),
                               "Tool for time series forecasting.", tool_body);
    state.set(names.ForecastTool, tool.get());

    ZV_LINE(state), state.set(names.conv_date, zv::make_function(conv_date_def, state).get());
    ZV_LINE(state);
    Ref hints = zv::dict({{names.df, names.data_frame_text}, {names.period, names.int_text}, {names.return_key, names.data_frame_text}});
    state.set(names.ts_forecast, zv::make_function(ts_forecast_def, state, nullptr, hints.get()).get());
}

}  // namespace

PyMODINIT_FUNC PyInit_forecast_tool() { return zv::init_module(module_state); }
