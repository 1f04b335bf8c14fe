"""The collection exports written out in plain Python with csv and openpyxl:
the reference the native export_mongo_to_csv and export_mongo_to_excel are
compared with, and the interpreted baseline of their benchmark. Like the
native exports, a file is written beside its final name and moved into place
when complete, and every workbook cell is a text cell."""

from __future__ import annotations

import csv
import os
import re
from datetime import datetime

from openpyxl import Workbook

EXCLUDE_FIELDS = {"_id", "retry", "datetime"}
MISSING = "Missing filename and collectionname. Please provide filename, collectionname"


def column_order(documents):
    field_order, seen = [], set()
    for doc in documents:
        for key in doc:
            key_lower = key.lower()
            if key not in EXCLUDE_FIELDS and key_lower not in seen:
                field_order.append(key_lower)
                seen.add(key_lower)
    if "page_save" in field_order:
        field_order.remove("page_save")
        field_order.append("page_save")
    return field_order


def cleaned(doc):
    return {
        key.lower(): re.sub(r"\s{2,}", " ", str(value)).strip()
        for key, value in doc.items()
        if key not in EXCLUDE_FIELDS
    }


def _start(filename, collectionname, directory):
    if not filename or not collectionname:
        print({"status": "error", "message": MISSING})
        return False
    try:
        if not os.path.exists(directory):
            os.makedirs(directory, exist_ok=True)
    except Exception:
        print({"status": "error", "message": "Folder not created"})
        return False
    print("📂 Export process started at: " + datetime.now().strftime("%Y-%m-%d %H:%M:%S"))
    return True


def _end(filepath):
    print(f"✅ Export Successful! {filepath}")
    print("📂 Export process end at: " + datetime.now().strftime("%Y-%m-%d %H:%M:%S"))


def _replace_when_written(filepath, write):
    tmp = os.path.join(os.path.dirname(filepath), f".export-{os.getpid()}-twin.tmp")
    try:
        write(tmp)
        os.replace(tmp, filepath)
    except BaseException:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise


def export_mongo_to_csv(db, filename=None, collectionname=None, directory=None):
    if not _start(filename, collectionname, directory):
        return None
    documents = list(db[collectionname].find({}))
    if not documents:
        print("No data found in collection.")
        return None
    field_order = column_order(documents)
    filepath = os.path.join(directory, f"{filename}.csv")

    def write(path):
        with open(path, mode="w", newline="", encoding="utf-8") as f:
            writer = csv.DictWriter(f, fieldnames=field_order)
            writer.writeheader()
            for doc in documents:
                cleaned_doc = cleaned(doc)
                writer.writerow({name: cleaned_doc.get(name, "") for name in field_order})

    _replace_when_written(filepath, write)
    _end(filepath)


def _append_text_row(ws, row, number):
    ws.append(row)
    for column, text in enumerate(row, 1):
        if text[:1] in ("=", "#"):
            cell = ws.cell(row=number, column=column)
            if cell.data_type in ("f", "e"):
                cell.data_type = "s"


def export_mongo_to_excel(db, filename=None, collectionname=None, directory=None, skip=0, limit=0):
    if not _start(filename, collectionname, directory):
        return None
    cursor = db[collectionname].find({})
    if skip:
        cursor = cursor.skip(skip)
    if limit:
        cursor = cursor.limit(limit)
    documents = list(cursor)
    if not documents:
        print("No data found in collection.")
        return None
    field_order = column_order(documents)
    wb = Workbook()
    ws = wb.active
    ws.title = collectionname
    _append_text_row(ws, field_order, 1)
    for number, doc in enumerate(documents, 2):
        cleaned_doc = cleaned(doc)
        _append_text_row(ws, [cleaned_doc.get(name, "") for name in field_order], number)
    filepath = os.path.join(directory, f"{filename}.xlsx")
    _replace_when_written(filepath, wb.save)
    _end(filepath)
