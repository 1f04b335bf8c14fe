"""The settings of a scraping job: the job's config module with its JSON overlay.

Importing the module imports the job's settings module ``config`` (found on
the module search path), writes the entries of the JSON file named by the
environment variable NEXRA_CONFIG (default "config.json") onto it, and copies
every attribute of ``config`` whose name does not begin with "__" into this
module's globals.
"""

import importlib as importlib
import json as json
import os as os
from collections.abc import Hashable
from types import ModuleType
from typing import Any

# The job's settings module, after the JSON overlay.
config: ModuleType
# The path of the JSON settings file: $NEXRA_CONFIG, or "config.json".
CONFIG_FILE: str

# The settings that Scrape_common reads. They are whatever the job's config
# module and JSON file hold, normally strings.
connection_string: str
data_base: str
input_table: str
pl_input_table: str
vantelo_path: str
pagesave_path: str

def get_config(key: Hashable, default: Any = None) -> Any: ...

# Every other setting the job defines is a global of this module too.
def __getattr__(name: str) -> Any: ...
