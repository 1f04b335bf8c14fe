"""The public functions behave like interpreted functions of the same signature:
attributes, signature, and the interpreter's own TypeError texts for wrong calls."""

from __future__ import annotations

import inspect

import pytest

SIGNATURES = {
    "get_config": "key, default=None",
    "clean_data": "doc",
    "doc_hash": "doc",
    "is_valid_page_save": "doc, parcel_number",
    "InsertItem": "data=None, retry=None, parcel_number=None, table_name=None",
    "fetch_response": (
        "method='GET', url=None, headers=None, data=None, params=None, "
        "cookies=None, proxy=None, feedid='', parcel_number=None, "
        "proxy_region=None, verify=None, session=None, timeout=None, "
        "pagesave_path=PAGESAVE, allow_redirects=None"
    ),
    "update_input": "key, value, status",
    "update_input_many": "key, value, status",
    "update_pl_input": "key, value, status",
    "update_pl_input_many": "key, value, status",
    "get_input": "query=None, limit=None, skip=0",
    "pl_input": "query=None, limit=None, skip=0",
    "export_mongo_to_csv": "filename=None, collectionname=None, directory=None",
    "export_mongo_to_excel": "filename=None, collectionname=None, directory=None, skip=0, limit=0",
}

# Wrong calls, each made on the native function and on an interpreted twin.
BAD_CALLS = [
    ((1,) * 16, {}),
    ((1,) * 6, {}),
    ((1, 2, 3, 4), {}),
    ((1, 2), {}),
    ((), {"nope": 1}),
    ((1,), {"doc": 1, "key": 1, "data": 1, "method": 1, "query": 1, "filename": 1}),
    ((), {}),
    ((1,), {}),
    ((), {"value": 1}),
]


def twin(name, sc):
    namespace = {"PAGESAVE": sc.__dict__.get("pagesave_path")}
    exec(f"def {name}({SIGNATURES[name]}):\n    pass\n", namespace)
    return namespace[name]


@pytest.fixture(params=sorted(SIGNATURES))
def pair(request, sc):
    name = request.param
    if name not in vars(sc):
        pytest.fail(f"{name} is not bound")
    return sc.__dict__[name], twin(name, sc)


def test_attributes_match_an_interpreted_function(pair, sc):
    native, python = pair
    assert native.__name__ == native.__qualname__ == python.__name__
    expected_module = (
        "Nexra_publish.configuration" if native.__name__ == "get_config" else "Nexra_publish.Scrape_common"
    )
    assert native.__module__ == expected_module
    assert isinstance(native.__doc__, str) and native.__doc__
    assert native.__defaults__ == python.__defaults__
    assert native.__kwdefaults__ is None
    assert str(inspect.signature(native)) == str(inspect.signature(python))
    assert repr(native).startswith(f"<function {native.__name__} at 0x")


@pytest.mark.parametrize("args, kwargs", BAD_CALLS)
def test_wrong_calls_raise_the_interpreters_type_error(pair, args, kwargs):
    native, python = pair
    try:
        python(*args, **kwargs)
    except TypeError as e:
        expected = str(e)
    else:
        return  # a valid call for this signature: not a wrong call
    with pytest.raises(TypeError) as info:
        native(*args, **kwargs)
    assert str(info.value) == expected


def test_non_string_keyword_is_refused(sc):
    with pytest.raises(TypeError, match="keywords must be strings"):
        sc.get_config(**{1: 2})


def test_defaults_are_read_at_each_call(sc):
    g = sc.get_config
    saved = g.__defaults__
    try:
        g.__defaults__ = ("fallback",)
        assert g("no such setting") == "fallback"
        g.__defaults__ = None
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'default'"):
            g("no such setting")
        with pytest.raises(TypeError, match="must be set to a tuple"):
            g.__defaults__ = [1]
    finally:
        g.__defaults__ = saved
    assert g("no such setting") is None


def test_functions_bind_as_methods_and_keep_attributes(sc):
    class Holder:
        lookup = sc.get_config

    assert Holder.lookup is sc.get_config
    assert Holder().lookup() is None  # bound: the instance is the key
    assert Holder().lookup.__self__.__class__ is Holder
    sc.get_config.note = "x"
    assert sc.get_config.__dict__["note"] == "x"
    del sc.get_config.note


# Functions with keyword-only parameters, and wrong calls of them.
KEYWORD_ONLY = {
    "queue_progress": "query=None, max_claims=5, *, collection=None",
    "drop_finished_leases": "*, collection=None",
}
KEYWORD_ONLY_CALLS = [
    ((1, 2, 3), {}),
    ((1, 2, 3), {"collection": 1}),
    ((1,), {}),
    ((), {"sort": 1}),
    ((1,), {"query": 1}),
]


@pytest.mark.parametrize("name", sorted(KEYWORD_ONLY))
def test_keyword_only_parameters_behave_as_interpreted_ones(sc, name):
    from Nexra_publish import workqueue

    native, namespace = getattr(workqueue, name), {}
    exec(f"def {name}({KEYWORD_ONLY[name]}):\n    pass\n", namespace)
    python = namespace[name]
    assert native.__kwdefaults__ == python.__kwdefaults__ == {"collection": None}
    assert native.__defaults__ == python.__defaults__
    assert str(inspect.signature(native)) == str(inspect.signature(python))
    for args, kwargs in KEYWORD_ONLY_CALLS:
        try:
            python(*args, **kwargs)
        except TypeError as e:
            with pytest.raises(TypeError) as info:
                native(*args, **kwargs)
            assert str(info.value) == str(e)
