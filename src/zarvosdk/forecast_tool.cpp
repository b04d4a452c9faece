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
#include "../frame/module_frame.hpp"

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
    X(model_config) X(ignored_types) X(arbitrary_types_allowed) X(input) X(data) X(df)        \
    X(ForecastInput) X(ForecastTool) X(Config)

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
    X(frame_text, "pd.DataFrame")

#define BUILTINS(X) X(NotImplementedError) X(sum) X(range)

struct {
    NAMES(ZV_DECLARE_NAME)
    TEXTS(ZV_DECLARE_TEXT)
    zv::Persistent one, year_1970;
    zv::Persistent digits;        // [9:-2]: the digits of "Decimal('…')"
    zv::Persistent run_handler;   // traceback entry of a failure _run handles
} n;

ZV_BUILTINS(BUILTINS);

void make_constants() {
    ZV_INTERN_TABLES(NAMES, TEXTS)
    n.one.set(zv::integer(1));
    n.year_1970.set(zv::integer(1970));
    n.digits.set(zv::own(PySlice_New(zv::integer(9).get(), zv::integer(-2).get(), nullptr)));
}

void run_top_level(zv::ModuleFrame& frame);

zv::ModuleFrame frame = zv::module_frame([](zv::ModuleDescription& d) {
    d.qualified_name = "zarvosdk.forecast_tool";
    d.source_file = "src/zarvosdk/forecast_tool.cpp";
    d.uses_builtins(builtin_table);
    d.constants = make_constants;
    d.body = run_top_level;
    d.registers_coroutine_type = true;
});

/// A dict with exactly one key, "error".
Ref error_record(Borrowed text) { return zv::dict({{n.error, text}}); }

/// A list of one-element lists: the feature matrix of a one-variable model.
Ref as_column(Borrowed numbers) {
    return zv::list_of(numbers, [](PyObject* x) { return zv::list({x}); });
}

// Value normalisation --------------------------------------------------------

/// The number spelled between the quotes of a `Decimal('…')` text, or null
/// when the item does not start with that form.
Ref decimal_text_value(PyObject* item) {
    Ref match = zv::getattr(frame.global(n.re), n.match);
    Ref found = zv::call(match, {n.decimal_pattern, item});
    if (found.get() == Py_None) return Ref();
    Ref text = zv::call_method(found, n.group);
    // "Decimal('" and "')" frame the digits: float(text[9:-2]). The match may
    // come from a stand-in for `re`, so the host's subscript and conversion
    // judge whatever type its group() returns.
    return zv::own(PyNumber_Float(zv::getitem(text, n.digits).get()));
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
    return zv::list_of(dates, [](PyObject* d) { return zv::call(frame.global(n.conv_date), {d}); });
}

// ForecastTool._run -----------------------------------------------------------

/// Decodes the request, builds the input table and forecasts (steps that run
/// under the tool's exception handler).
Ref forecast_request(PyObject* text) {
    Ref request = zv::call(zv::getattr(frame.global(n.json), n.loads), {text});
    Ref data = zv::getitem(request, n.data_input);
    Ref dates = zv::getitem(data, n.date);
    Ref sequence = zv::getitem(data, n.values);
    Ref seq = zv::list_of(sequence, normalise_value);
    dates = standardise_dates(dates);
    Ref frame_type = zv::getattr(frame.global(n.pd), n.DataFrame);
    Ref df = zv::call(frame_type, {zv::dict({{n.timestamp, dates}, {n.values, seq}})});
    Ref period = zv::getitem(request, n.period);
    Ref result = zv::call(frame.global(n.ts_forecast), {df, period});
    if (zv::truth(zv::getattr(result, n.empty))) return error_record(n.empty_result);
    return result;
}

/// The text with every single quote turned into a double quote, or the text
/// itself when it has none.
Ref double_quoted(PyObject* text) {
    Py_ssize_t quote = PyUnicode_FindChar(text, '\'', 0, PyUnicode_GET_LENGTH(text), 1);
    if (quote == -2) zv::raise();
    if (quote < 0) return Ref::borrow(text);
    return zv::own(PyUnicode_Replace(text, n.single_quote.get(), n.double_quote.get(), -1));
}

Ref tool_run(PyObject* const* a) {
    Ref traceback = zv::import_plain_module(frame, n.traceback);
    Ref text = double_quoted(a[1]);
    try {
        return forecast_request(text.get());
    } catch (const zv::Error&) {
        // Anything but an Exception leaves unhandled, with the one traceback
        // entry that every failure leaving the function gets.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        frame.add_traceback(n.run_handler, "ForecastTool._run", __LINE__);
        zv::Handler handler;
        zv::call_method(traceback, n.print_exc);
        return error_record(zv::str(handler.value()));
    }
}

Ref refuse_async(PyObject*) {
    zv::raise(builtins.NotImplementedError.get(), "%U", n.no_async.get());
}

Ref tool_arun(PyObject* const*) {
    return zv::make_coroutine(refuse_async, Py_None, n.arun_name.get(), n.arun_qualname.get());
}

const zv::FunctionDef tool_run_def{
    "_run", "ForecastTool._run", "Time series forecasting.", ZV_HERE, tool_run,
    {{"self"}, {"input", Exact::str}}};
const zv::FunctionDef tool_arun_def{
    "_arun", "ForecastTool._arun", nullptr, ZV_HERE, tool_arun,
    {{"self"}, {"data", Exact::str}}, true};


/// What a pydantic v2 tool base needs in the class namespace besides the plain
/// class body: annotations for the overridden fields `name` and `description`
/// (v2 refuses a field override without one), and the package's function type
/// among the model's ignored types, so that `_run` and `_arun` stay methods
/// instead of being taken for private attributes (v2 only passes over the
/// host's own function type and the other descriptors it knows).
void declare_for_pydantic_v2(PyObject* ns) {
    Ref annotations = zv::dict({{n.name, n.str_text}, {n.description, n.str_text}});
    zv::set_entry(ns, "__annotations__", annotations.get());
    Ref ignored = zv::tuple({reinterpret_cast<PyObject*>(zv::function_type())});
    zv::set_entry(ns, n.model_config, zv::dict({{n.ignored_types, ignored}}));
}

void tool_body(zv::ModuleFrame& f, PyObject* ns) {
    // The framework's 0.3 line has a pydantic v2 tool base; the 0.2 line's is a
    // pydantic v1 model, which takes the class body as it is.
    if (zv::is_pydantic_v2_model(f.global(n.BaseTool).get())) declare_for_pydantic_v2(ns);
    zv::set_entry(ns, n.name, n.tool_name);
    zv::set_entry(ns, n.description, n.tool_description);
    zv::define_method(f, ns, tool_run_def, nullptr,
                      zv::dict({{n.input, n.str_text}, {n.return_key, n.dict_text}}).get());
    zv::define_method(f, ns, tool_arun_def, nullptr,
                      zv::dict({{n.data, n.str_text}, {n.return_key, n.str_text}}).get());
}

// ForecastInput ----------------------------------------------------------------

void config_body(zv::ModuleFrame&, PyObject* ns) {
    zv::set_entry(ns, n.arbitrary_types_allowed, Py_True);
}

void input_body(zv::ModuleFrame& f, PyObject* ns) {
    Ref hints = zv::own(PyDict_New());
    zv::set_entry(ns, "__annotations__", hints.get());
    zv::check(PyDict_SetItem(hints.get(), n.df.get(), n.frame_text.get()));
    zv::set_entry(ns, n.df, zv::call(f.global(n.Field), {}, {{n.description, n.df_description}}));
    zv::check(PyDict_SetItem(hints.get(), n.period.get(), n.int_text.get()));
    zv::set_entry(ns, n.period,
                  zv::call(f.global(n.Field), {}, {{n.description, n.period_description}}));
    Ref no_bases = zv::own(PyTuple_New(0));
    Ref config =
        zv::build_class(f, "Config", "ForecastInput.Config", no_bases.get(), nullptr, config_body);
    zv::set_entry(ns, n.Config, config);
}

// conv_date and ts_forecast -----------------------------------------------------

Ref conv_date(PyObject* const* a) {
    Ref parse = zv::getattr(frame.global(n.parser), n.parse);
    Ref parsed = zv::call(parse, {a[0]});
    return zv::call_method(parsed, n.strftime, {n.date_format});
}

/// Whole days of `later - earlier`, taken toward minus infinity.
Ref days_between(PyObject* later, PyObject* earlier) {
    Ref difference = zv::own(PyNumber_Subtract(later, earlier));
    return zv::getattr(difference, n.days);
}

/// Day numbers of the training dates: days since pandas' 1970-01-01, the
/// epoch made anew for each date.
Ref training_days(Borrowed dates) {
    return zv::list_of(dates, [](PyObject* d) {
        Ref epoch = zv::call_method(frame.global(n.pd), n.Timestamp, {n.epoch_text});
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
    Ref stop = zv::own(PyNumber_Add(period, n.one.get()));
    Ref steps = zv::call(builtins.range, {n.one, stop});
    return zv::list_of(steps, [&](PyObject* i) {
        Ref timedelta = frame.global(n.timedelta);
        Ref days = zv::own(PyNumber_Multiply(i, average));
        Ref step = zv::call(timedelta, {}, {{n.days, days}});
        return zv::own(PyNumber_Add(last_date, step.get()));
    });
}

/// Day numbers of the future points: days since datetime(1970, 1, 1), the
/// epoch made anew for each point.
Ref future_days(Borrowed points) {
    return zv::list_of(points, [](PyObject* point) {
        Ref epoch = zv::call(frame.global(n.datetime), {n.year_1970, n.one, n.one});
        return days_between(point, epoch.get());
    });
}

Ref date_texts(Borrowed points) {
    return zv::list_of(points, [](PyObject* point) { return zv::call_method(point, n.strftime, {n.date_format}); });
}

Ref ts_forecast(PyObject* const* a) {
    PyObject* df = a[0];
    PyObject* period = a[1];
    Ref pd = frame.global(n.pd);
    Ref converted = zv::call_method(pd, n.to_datetime, {zv::getitem(df, n.timestamp)});
    zv::setitem(df, n.timestamp, converted);
    Ref dates = zv::getitem(df, n.timestamp);
    Ref values = zv::getitem(df, n.values);
    zv::call_method(df, n.set_index, {n.timestamp}, {{n.inplace, Py_True}});
    Ref x = training_days(dates);
    Ref model = zv::call(frame.global(n.LinearRegression));
    zv::call_method(model, n.fit, {as_column(x), values});
    Ref average = average_interval(dates);
    Ref last_date = zv::call_method(dates, n.max);
    Ref points = future_points(last_date, period, average);
    Ref forecast_x = future_days(points);
    Ref forecast = zv::call_method(model, n.predict, {as_column(forecast_x)});
    Ref future_dates = date_texts(points);
    Ref frame_type = zv::getattr(frame.global(n.pd), n.DataFrame);
    return zv::call(frame_type, {zv::dict({{n.dates, future_dates}, {n.forecasted_values, forecast}})});
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
                                        false, true};

// Top level -----------------------------------------------------------------------

void run_top_level(zv::ModuleFrame& f) {
    ZV_LINE(f), zv::import_plain(f, "pandas", "pd");
    ZV_LINE(f), zv::import_from(f, "datetime", {"datetime", "timedelta"});
    ZV_LINE(f), zv::import_from(f, "dateutil", {"parser"});
    ZV_LINE(f), zv::import_from(f, "sklearn.linear_model", {"LinearRegression"});
    ZV_LINE(f), zv::import_plain(f, "re", "re");
    ZV_LINE(f), zv::import_from(f, "pydantic", {"BaseModel", "Field"});
    ZV_LINE(f), zv::import_from(f, "typing", {"Dict"});
    ZV_LINE(f), zv::import_plain(f, "json", "json");
    ZV_LINE(f), zv::import_from(f, "langchain.tools.base", {"BaseTool"});

    ZV_LINE(f);
    Ref input = zv::build_class(f, "ForecastInput", "ForecastInput",
                                zv::tuple({f.global(n.BaseModel)}).get(),
                                "\n    Inputs for the forecasting function.\n    ", input_body);
    f.set(n.ForecastInput, input.get());

    ZV_LINE(f);
    Ref tool = zv::build_class(f, "ForecastTool", "ForecastTool",
                               zv::tuple({f.global(n.BaseTool)}).get(),
                               "Tool for time series forecasting.", tool_body);
    f.set(n.ForecastTool, tool.get());

    ZV_LINE(f), f.set(n.conv_date, zv::make_function(conv_date_def, f).get());
    ZV_LINE(f);
    Ref hints = zv::dict({{n.df, n.frame_text}, {n.period, n.int_text}, {n.return_key, n.frame_text}});
    f.set(n.ts_forecast, zv::make_function(ts_forecast_def, f, nullptr, hints.get()).get());
}

}  // namespace

PyMODINIT_FUNC PyInit_forecast_tool() { return zv::init_module(frame); }
