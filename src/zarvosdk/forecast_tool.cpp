// zarvosdk.forecast_tool: the forecast tool the language model calls with a
// JSON text, and the least-squares forecaster behind it.
#include "../frame/call.hpp"
#include "../frame/class_builder.hpp"
#include "../frame/coroutine.hpp"
#include "../frame/function.hpp"
#include "../frame/imports.hpp"
#include "../frame/module_frame.hpp"

namespace {

using zv::Exact;
using zv::Ref;

void make_constants();
void run_top_level(zv::ModuleFrame& frame);

const char* const builtin_names[] = {"NotImplementedError", "sum", "range", nullptr};

zv::ModuleFrame frame = zv::module_frame(
    "forecast_tool", "zarvosdk.forecast_tool", "zarvosdk.forecast_tool",
    "init zarvosdk.forecast_tool", "src/zarvosdk/forecast_tool.cpp", builtin_names,
    make_constants, run_top_level, true);

PyObject* builtin_not_implemented() { return frame.builtins[0].get(); }
PyObject* builtin_sum() { return frame.builtins[1].get(); }
PyObject* builtin_range() { return frame.builtins[2].get(); }

#define NAMES(X)                                                                             \
    X(pd) X(DataFrame) X(to_datetime) X(Timestamp) X(json) X(loads) X(re) X(match) X(group)   \
    X(parser) X(parse) X(strftime) X(LinearRegression) X(fit) X(predict) X(set_index)         \
    X(inplace) X(timestamp) X(values) X(max) X(empty) X(days) X(datetime) X(timedelta)        \
    X(conv_date) X(ts_forecast) X(data_input) X(date) X(period) X(error) X(traceback)         \
    X(print_exc) X(description) X(replace) X(BaseTool) X(model_fields)

struct {
    NAMES(ZV_DECLARE_NAME)
    zv::Persistent single_quote, double_quote, decimal_pattern, date_format, epoch_text;
    zv::Persistent dates, forecasted_values, empty_result, no_async;
    zv::Persistent one, year_1970, inplace_keyword, days_keyword, description_keyword;
} n;

void make_constants() {
    NAMES(ZV_INTERN_NAME)
    zv::intern(n.single_quote, "'");
    zv::intern(n.double_quote, "\"");
    zv::intern(n.decimal_pattern, "Decimal\\('[\\d.]+'\\)");
    zv::intern(n.date_format, "%Y-%m-%d");
    zv::intern(n.epoch_text, "1970-01-01");
    zv::intern(n.dates, "dates");
    zv::intern(n.forecasted_values, "Forecasted_values");
    zv::intern(n.empty_result, "Forecasting produced an empty DataFrame.");
    zv::intern(n.no_async, "ForecastTool does not support async");
    n.one.set(zv::integer(1));
    n.year_1970.set(zv::integer(1970));
    n.inplace_keyword.set(zv::tuple({n.inplace.get()}));
    n.days_keyword.set(zv::tuple({n.days.get()}));
    n.description_keyword.set(zv::tuple({n.description.get()}));
}

/// A dict with exactly one key, "error".
Ref error_record(PyObject* text) {
    Ref record = zv::own(PyDict_New());
    zv::check(PyDict_SetItem(record.get(), n.error.get(), text));
    return record;
}

/// `new_list.append(value)`, taking ownership of `value`.
void append(PyObject* list, Ref value) { zv::check(PyList_Append(list, value.get())); }

/// A list of one-element lists: the feature matrix of a one-variable model.
Ref as_column(PyObject* numbers) {
    Ref rows = zv::own(PyList_New(0));
    Ref iter = zv::own(PyObject_GetIter(numbers));
    while (Ref x = Ref::steal(PyIter_Next(iter.get()))) {
        Ref row = zv::own(PyList_New(1));
        PyList_SET_ITEM(row.get(), 0, x.release());
        append(rows.get(), std::move(row));
    }
    if (PyErr_Occurred()) zv::raise();
    return rows;
}

// Value normalisation --------------------------------------------------------

/// The number spelled between the quotes of a `Decimal('…')` text, or null
/// when the item does not start with that form.
Ref decimal_text_value(PyObject* item) {
    Ref re = frame.global(n.re.get());
    Ref match_fn = zv::getattr(re.get(), n.match.get());
    Ref found = zv::call(match_fn.get(), {n.decimal_pattern.get(), item});
    if (found.get() == Py_None) return Ref();
    Ref text = zv::call_method(found.get(), n.group.get());
    // "Decimal('" and "')" frame the digits.
    Ref digits = zv::own(PyUnicode_Substring(text.get(), 9, PyUnicode_GET_LENGTH(text.get()) - 2));
    return zv::own(PyFloat_FromString(digits.get()));
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

Ref normalise_values(PyObject* sequence) {
    Ref seq = zv::own(PyList_New(0));
    Ref iter = zv::own(PyObject_GetIter(sequence));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) append(seq.get(), normalise_value(item.get()));
    if (PyErr_Occurred()) zv::raise();
    return seq;
}

Ref standardise_dates(PyObject* dates) {
    Ref result = zv::own(PyList_New(0));
    Ref iter = zv::own(PyObject_GetIter(dates));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        Ref conv = frame.global(n.conv_date.get());
        append(result.get(), zv::call(conv.get(), {item.get()}));
    }
    if (PyErr_Occurred()) zv::raise();
    return result;
}

// ForecastTool._run -----------------------------------------------------------

/// Decodes the request, builds the input table and forecasts (steps that run
/// under the tool's exception handler).
Ref forecast_request(PyObject* text) {
    Ref json = frame.global(n.json.get());
    Ref loads = zv::getattr(json.get(), n.loads.get());
    Ref request = zv::call(loads.get(), {text});
    Ref data = zv::getitem(request.get(), n.data_input.get());
    Ref dates = zv::getitem(data.get(), n.date.get());
    Ref sequence = zv::getitem(data.get(), n.values.get());
    Ref seq = normalise_values(sequence.get());
    dates = standardise_dates(dates.get());
    Ref pd = frame.global(n.pd.get());
    Ref frame_type = zv::getattr(pd.get(), n.DataFrame.get());
    Ref columns = zv::own(PyDict_New());
    zv::check(PyDict_SetItem(columns.get(), n.timestamp.get(), dates.get()));
    zv::check(PyDict_SetItem(columns.get(), n.values.get(), seq.get()));
    Ref df = zv::call(frame_type.get(), {columns.get()});
    Ref period = zv::getitem(request.get(), n.period.get());
    Ref forecaster = frame.global(n.ts_forecast.get());
    Ref result = zv::call(forecaster.get(), {df.get(), period.get()});
    Ref empty = zv::getattr(result.get(), n.empty.get());
    if (zv::truth(empty.get())) return error_record(n.empty_result.get());
    return result;
}

Ref tool_run(PyObject* const* a) {
    Ref traceback = zv::import_plain_module(frame, n.traceback.get());
    Ref text = Ref::borrow(a[1]);
    Py_ssize_t quote = PyUnicode_FindChar(text.get(), '\'', 0, PyUnicode_GET_LENGTH(text.get()), 1);
    if (quote == -2) zv::raise();
    if (quote >= 0)
        text = zv::own(PyUnicode_Replace(text.get(), n.single_quote.get(), n.double_quote.get(), -1));
    try {
        return forecast_request(text.get());
    } catch (const zv::Error&) {
        static zv::Persistent entry;
        frame.add_traceback(entry, "ForecastTool._run", __LINE__);
        zv::Handler handler;
        zv::call_method(traceback.get(), n.print_exc.get());
        return error_record(zv::str(handler.value()).get());
    }
}

Ref refuse_async(PyObject*) {
    zv::raise(builtin_not_implemented(), "%U", n.no_async.get());
}

Ref tool_arun(PyObject* const*) {
    static zv::Persistent name, qualname;
    zv::intern(name, "_arun");
    zv::intern(qualname, "ForecastTool._arun");
    return zv::make_coroutine(refuse_async, Py_None, name.get(), qualname.get());
}

const zv::FunctionDef tool_run_def{
    "_run", "ForecastTool._run", "Time series forecasting.", ZV_HERE, tool_run,
    {{"self"}, {"input", Exact::str}}};
const zv::FunctionDef tool_arun_def{
    "_arun", "ForecastTool._arun", nullptr, ZV_HERE, tool_arun,
    {{"self"}, {"data", Exact::str}}, true};

/// An annotations dict from name / text pairs.
Ref annotations(std::initializer_list<std::pair<const char*, const char*>> items) {
    Ref dict = zv::own(PyDict_New());
    for (const auto& item : items) {
        Ref text = zv::own(PyUnicode_FromString(item.second));
        zv::check(PyDict_SetItemString(dict.get(), item.first, text.get()));
    }
    return dict;
}

/// Whether `cls` is a pydantic v2 model class: those have `model_fields`, a
/// pydantic v1 model class (the framework's 0.2 line) has not.
bool is_pydantic_v2_model(PyObject* cls) {
    Ref fields = Ref::steal(PyObject_GetAttr(cls, n.model_fields.get()));
    if (fields) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) zv::raise();
    PyErr_Clear();
    return false;
}

/// What a pydantic v2 tool base needs in the class namespace besides the plain
/// class body: annotations for the overridden fields `name` and `description`
/// (v2 refuses a field override without one), and the package's function type
/// among the model's ignored types, so that `_run` and `_arun` stay methods
/// instead of being taken for private attributes (v2 only passes over the
/// host's own function type and the other descriptors it knows).
void declare_for_pydantic_v2(PyObject* ns) {
    zv::set_entry(ns, "__annotations__", annotations({{"name", "str"}, {"description", "str"}}).get());
    Ref ignored = zv::tuple({reinterpret_cast<PyObject*>(zv::function_type())});
    Ref config = zv::own(PyDict_New());
    zv::check(PyDict_SetItemString(config.get(), "ignored_types", ignored.get()));
    zv::set_entry(ns, "model_config", config.get());
}

void tool_body(zv::ModuleFrame& f, PyObject* ns) {
    // The framework's 0.3 line has a pydantic v2 tool base; the 0.2 line's is a
    // pydantic v1 model, which takes the class body as it is.
    Ref base = f.global(n.BaseTool.get());
    if (is_pydantic_v2_model(base.get())) declare_for_pydantic_v2(ns);
    Ref name = zv::own(PyUnicode_FromString("forecast"));
    zv::set_entry(ns, "name", name.get());
    Ref description =
        zv::own(PyUnicode_FromString("\n    Use this tool for time series forecasting\n    "));
    zv::set_entry(ns, "description", description.get());
    zv::define_method(f, ns, tool_run_def, nullptr,
                      annotations({{"input", "str"}, {"return", "Dict"}}).get());
    zv::define_method(f, ns, tool_arun_def, nullptr,
                      annotations({{"data", "str"}, {"return", "str"}}).get());
}

// ForecastInput ----------------------------------------------------------------

void config_body(zv::ModuleFrame&, PyObject* ns) {
    zv::set_entry(ns, "arbitrary_types_allowed", Py_True);
}

/// `Field(description=text)`, with Field looked up now.
Ref described_field(zv::ModuleFrame& f, const char* text) {
    Ref field = f.global(zv::own(PyUnicode_InternFromString("Field")).get());
    Ref description = zv::own(PyUnicode_FromString(text));
    return zv::call(field.get(), {description.get()}, n.description_keyword.get());
}

void input_body(zv::ModuleFrame& f, PyObject* ns) {
    Ref hints = zv::own(PyDict_New());
    zv::set_entry(ns, "__annotations__", hints.get());
    Ref df_text = zv::own(PyUnicode_FromString("pd.DataFrame"));
    zv::check(PyDict_SetItemString(hints.get(), "df", df_text.get()));
    zv::set_entry(ns, "df", described_field(f, "Input dataset as a DataFrame").get());
    Ref int_text = zv::own(PyUnicode_FromString("int"));
    zv::check(PyDict_SetItemString(hints.get(), "period", int_text.get()));
    zv::set_entry(ns, "period", described_field(f, "The period to forecast").get());
    Ref no_bases = zv::own(PyTuple_New(0));
    Ref config =
        zv::build_class(f, "Config", "ForecastInput.Config", no_bases.get(), nullptr, config_body);
    zv::set_entry(ns, "Config", config.get());
}

// conv_date and ts_forecast -----------------------------------------------------

Ref conv_date(PyObject* const* a) {
    Ref parser = frame.global(n.parser.get());
    Ref parsed = zv::call_method(parser.get(), n.parse.get(), {a[0]});
    return zv::call_method(parsed.get(), n.strftime.get(), {n.date_format.get()});
}

/// Whole days of `later - earlier`, taken toward minus infinity.
Ref days_between(PyObject* later, PyObject* earlier) {
    Ref difference = zv::own(PyNumber_Subtract(later, earlier));
    return zv::getattr(difference.get(), n.days.get());
}

/// Day numbers of the training dates: days since pandas' 1970-01-01.
Ref training_days(PyObject* dates) {
    Ref x = zv::own(PyList_New(0));
    Ref iter = zv::own(PyObject_GetIter(dates));
    while (Ref d = Ref::steal(PyIter_Next(iter.get()))) {
        Ref pd = frame.global(n.pd.get());
        Ref epoch = zv::call_method(pd.get(), n.Timestamp.get(), {n.epoch_text.get()});
        append(x.get(), days_between(d.get(), epoch.get()));
    }
    if (PyErr_Occurred()) zv::raise();
    return x;
}

/// Mean whole-day step between consecutive dates, taken in ascending order so
/// that a series given newest first still steps forward in time.
Ref average_interval(PyObject* dates) {
    Ref ordered = zv::own(PySequence_List(dates));
    zv::check(PyList_Sort(ordered.get()));
    Ref intervals = zv::own(PyList_New(0));
    Py_ssize_t count = PyList_GET_SIZE(ordered.get());
    for (Py_ssize_t i = 0; i + 1 < count; ++i)
        append(intervals.get(),
               days_between(PyList_GET_ITEM(ordered.get(), i + 1), PyList_GET_ITEM(ordered.get(), i)));
    Ref total = zv::call(builtin_sum(), {intervals.get()});
    Ref length = zv::own(PyLong_FromSsize_t(PyList_GET_SIZE(intervals.get())));
    return zv::own(PyNumber_TrueDivide(total.get(), length.get()));
}

/// `period` future points in time, `average` days apart, after `last_date`.
Ref future_points(PyObject* last_date, PyObject* period, PyObject* average) {
    Ref stop = zv::own(PyNumber_Add(period, n.one.get()));
    Ref steps = zv::call(builtin_range(), {n.one.get(), stop.get()});
    Ref points = zv::own(PyList_New(0));
    Ref iter = zv::own(PyObject_GetIter(steps.get()));
    while (Ref i = Ref::steal(PyIter_Next(iter.get()))) {
        Ref timedelta = frame.global(n.timedelta.get());
        Ref days = zv::own(PyNumber_Multiply(i.get(), average));
        Ref step = zv::call(timedelta.get(), {days.get()}, n.days_keyword.get());
        append(points.get(), zv::own(PyNumber_Add(last_date, step.get())));
    }
    if (PyErr_Occurred()) zv::raise();
    return points;
}

/// Day numbers of the future points: days since datetime(1970, 1, 1).
Ref future_days(PyObject* points) {
    Ref x = zv::own(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(points); ++i) {
        Ref datetime = frame.global(n.datetime.get());
        Ref epoch = zv::call(datetime.get(), {n.year_1970.get(), n.one.get(), n.one.get()});
        append(x.get(), days_between(PyList_GET_ITEM(points, i), epoch.get()));
    }
    return x;
}

Ref date_texts(PyObject* points) {
    Ref texts = zv::own(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(points); ++i)
        append(texts.get(), zv::call_method(PyList_GET_ITEM(points, i), n.strftime.get(),
                                            {n.date_format.get()}));
    return texts;
}

Ref ts_forecast(PyObject* const* a) {
    PyObject* df = a[0];
    PyObject* period = a[1];
    Ref pd = frame.global(n.pd.get());
    Ref column = zv::getitem(df, n.timestamp.get());
    Ref converted = zv::call_method(pd.get(), n.to_datetime.get(), {column.get()});
    zv::setitem(df, n.timestamp.get(), converted.get());
    Ref dates = zv::getitem(df, n.timestamp.get());
    Ref values = zv::getitem(df, n.values.get());
    zv::call_method(df, n.set_index.get(), {n.timestamp.get(), Py_True}, n.inplace_keyword.get());
    Ref x = training_days(dates.get());
    Ref model_type = frame.global(n.LinearRegression.get());
    Ref model = zv::call(model_type.get(), {});
    zv::call_method(model.get(), n.fit.get(), {as_column(x.get()).get(), values.get()});
    Ref average = average_interval(dates.get());
    Ref last_date = zv::call_method(dates.get(), n.max.get());
    Ref points = future_points(last_date.get(), period, average.get());
    Ref forecast_x = future_days(points.get());
    Ref forecast = zv::call_method(model.get(), n.predict.get(), {as_column(forecast_x.get()).get()});
    Ref future_dates = date_texts(points.get());
    Ref columns = zv::own(PyDict_New());
    zv::check(PyDict_SetItem(columns.get(), n.dates.get(), future_dates.get()));
    zv::check(PyDict_SetItem(columns.get(), n.forecasted_values.get(), forecast.get()));
    Ref pd_now = frame.global(n.pd.get());
    Ref frame_type = zv::getattr(pd_now.get(), n.DataFrame.get());
    return zv::call(frame_type.get(), {columns.get()});
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
                                        ts_forecast, {{"df"}, {"period", Exact::int_}}};

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
    Ref model_base = f.global(zv::own(PyUnicode_InternFromString("BaseModel")).get());
    Ref input = zv::build_class(f, "ForecastInput", "ForecastInput",
                                zv::tuple({model_base.get()}).get(),
                                "\n    Inputs for the forecasting function.\n    ", input_body);
    f.set("ForecastInput", input.get());

    ZV_LINE(f);
    Ref tool_base = f.global(zv::own(PyUnicode_InternFromString("BaseTool")).get());
    Ref tool = zv::build_class(f, "ForecastTool", "ForecastTool", zv::tuple({tool_base.get()}).get(),
                               "Tool for time series forecasting.", tool_body);
    f.set("ForecastTool", tool.get());

    ZV_LINE(f), f.set("conv_date", zv::make_function(conv_date_def, f).get());
    ZV_LINE(f);
    Ref hints = annotations({{"df", "pd.DataFrame"}, {"period", "int"}, {"return", "pd.DataFrame"}});
    f.set("ts_forecast", zv::make_function(ts_forecast_def, f, nullptr, hints.get()).get());
}

}  // namespace

PyMODINIT_FUNC PyInit_forecast_tool() { return zv::init_module(frame); }
