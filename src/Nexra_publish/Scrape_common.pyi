"""Shared work of a scraping job: input queues, page fetching, record cleaning
and hashing, item storage and collection export.

Importing the module runs its start-up once: it takes over the settings of
``Nexra_publish.configuration``, imports the job's ``request_engine`` from the
directory ``vantelo_path``, creates the database client from
``connection_string`` and binds the handles below.
"""

from collections.abc import Mapping
from os import PathLike
from types import ModuleType
from typing import Any, Literal, SupportsIndex, SupportsInt, Union

from _typeshed import SupportsItems
from pymongo import MongoClient
from pymongo.collection import Collection
from pymongo.cursor import Cursor
from pymongo.database import Database
from typing_extensions import TypeAlias

from .configuration import (
    CONFIG_FILE as CONFIG_FILE,
    config as config,
    connection_string as connection_string,
    data_base as data_base,
    get_config as get_config,
    input_table as input_table,
    pagesave_path as pagesave_path,
    pl_input_table as pl_input_table,
    vantelo_path as vantelo_path,
)

_Document: TypeAlias = dict[str, Any]
# What int() accepts: an int, a float (truncated), a numeric string.
_IntLike: TypeAlias = Union[SupportsInt, SupportsIndex, str]
_PageSaveStatus: TypeAlias = Literal[
    "missing parcel_number", "empty", "invalid_path", "valid", "does not match parcel_number"
]

# Bound at start-up; absent when connecting failed (the error was printed).
mongo_client: MongoClient[_Document]
db: Database[_Document]
col_input: Collection[_Document]  # db[input_table]
col_input_pdp: Collection[_Document]  # db[pl_input_table]
log: Collection[_Document]  # db["failures_collection"]: one record per failed fetch
# The job's request engine; absent when it could not be imported.
request_engine: ModuleType

MAX_RETRIES: int  # 3: a fetch route attempts while its counter <= MAX_RETRIES
RETRY_DELAY: int  # 2: seconds waited after a failed attempt

def clean_data(doc: SupportsItems[Any, Any]) -> dict[Any, Any]: ...
def doc_hash(doc: Any) -> str: ...
def is_valid_page_save(doc: Any, parcel_number: object) -> _PageSaveStatus: ...
def InsertItem(
    data: Mapping[str, Any] | None = None,
    retry: object = None,
    parcel_number: object = None,
    table_name: str | None = None,
) -> None: ...

# The result pair, or None. Its forms:
#   (HtmlResponse, 0)         a page served from the page-save store
#   (HtmlResponse, attempts)  a page fetched, saved and accepted
#   (answer or None, attempts)  attempts used up (answer: the last response)
#   (exception, attempts)     saving the fetched page failed
#   (None, exception)         reading a saved page failed
#   (exception, "0")          creating the page-save directory failed
#   (message, "0")            parcel_number holds other characters
#   (message, None)           parcel_number or url missing or too short
def fetch_response(
    method: str = "GET",
    url: str | None = None,
    headers: Mapping[str, str] | None = None,
    data: Any = None,
    params: Any = None,
    cookies: Any = None,
    proxy: Any = None,
    feedid: str = "",
    parcel_number: str | None = None,
    proxy_region: Any = None,
    verify: bool | str | None = None,
    session: bool | None = None,
    timeout: Any = None,
    pagesave_path: str | PathLike[str] = ...,  # the setting pagesave_path at import
    allow_redirects: bool | None = None,
) -> tuple[Any, Any] | None: ...
def update_input(key: object, value: Any, status: object) -> None: ...
def update_input_many(key: object, value: Any, status: object) -> None: ...
def update_pl_input(key: object, value: Any, status: object) -> None: ...
def update_pl_input_many(key: object, value: Any, status: object) -> None: ...
def get_input(
    query: Mapping[str, Any] | None = None, limit: _IntLike | None = None, skip: _IntLike = 0
) -> Cursor[_Document] | None: ...
def pl_input(
    query: Mapping[str, Any] | None = None, limit: _IntLike | None = None, skip: _IntLike = 0
) -> Cursor[_Document] | None: ...
def export_mongo_to_csv(
    filename: object = None,
    collectionname: str | None = None,
    directory: str | PathLike[str] | None = None,
) -> None: ...
def export_mongo_to_excel(
    filename: object = None,
    collectionname: str | None = None,
    directory: str | PathLike[str] | None = None,
    skip: int = 0,
    limit: int = 0,
) -> None: ...
