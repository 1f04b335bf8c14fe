"""The page-save rules written out in plain Python: the reference the native
is_valid_page_save is compared with."""

from __future__ import annotations

import re


def is_valid_page_save(doc, parcel_number):
    if not parcel_number:
        return "missing parcel_number"
    page_save = doc.get("page_save")
    if not isinstance(page_save, str) or not page_save.strip():
        return "empty"
    if page_save.startswith("\\\\") or re.match(r"^[A-Za-z]:\\", page_save) or "\\" in page_save:
        return "invalid_path"
    check = page_save.replace(".html", "").replace(".json", "")
    text = parcel_number if isinstance(parcel_number, str) else str(parcel_number)
    return "valid" if check in text else "does not match parcel_number"
