"""The record-cleaning rules written out in plain Python with re, html and
unicodedata: the reference the native clean_data is compared with."""

from __future__ import annotations

import html
import re
import unicodedata


def clean_data(doc):
    CLEANR = re.compile("<.*?>|&([a-z0-9]+|#x[0-9]{1,6}|#x[0-9a-f]{1,6});|[\\t\\n\\r]")

    def text_cleaner(text):
        text = html.unescape(text.encode("utf-8", "ignore").decode("utf-8"))
        text = re.sub(CLEANR, "", text)
        text = re.sub(r"\s+", " ", text)
        return unicodedata.normalize("NFKD", text.strip()).encode("utf_8_sig", "ignore").decode("utf_8_sig")

    def clean_string(text):
        if not text:
            return ""
        text = re.sub("&gt;", ">", text, flags=re.IGNORECASE)
        text = re.sub("&lt;", "<", text, flags=re.IGNORECASE)
        text = re.sub("&amp;", "&", text, flags=re.IGNORECASE)
        text = re.sub("&nbsp;", " ", text, flags=re.IGNORECASE)
        text = re.sub("\u0099", "", text, flags=re.IGNORECASE)
        text = re.sub(r"[\r\n\t]+", " ", text, flags=re.IGNORECASE)
        text = re.sub(r"<script[^>]*>[\w\W]*?</script>", " ", text, flags=re.IGNORECASE)
        text = re.sub(r"\* style specs start[^>]*>[\w\W]*?style specs end *", " ", text, flags=re.IGNORECASE)
        text = re.sub(r"<style[^>]*>[\w\W]*?</style>", " ", text, flags=re.IGNORECASE)
        text = re.sub(r"<!--[\w\W]*?-->", " ", text, flags=re.IGNORECASE)
        text = re.sub(r"<[^>]+>", " ", text)
        text = re.sub(r"\s+", " ", text)
        return text_cleaner(text).strip()

    result = {}
    for k, v in doc.items():
        key = k.strip() if isinstance(k, str) else k
        if isinstance(v, str):
            v = clean_string(str.__str__(v))
        elif isinstance(v, list):
            v = [clean_string(str.__str__(i)) for i in v if isinstance(i, str) and i.strip()]
        result[key] = v
    return result
