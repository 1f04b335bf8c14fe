"""The example scraping script: reads pending parcels, fetches each page (from
the page-save store when saved before), parses it, stores the record, marks the
parcel, and exports the results."""

from Nexra_publish import Scrape_common as sc
from Nexra_publish.configuration import get_config

RESULTS = get_config("result_table")


def parse(response, parcel_number):
    return {
        "parcel_number": parcel_number,
        "owner": response.css("td.owner::text").get(),
        "address": " ".join(response.css("div.address *::text").getall()),
        "assessed_value": response.css("td.value::text").get(),
        "notes": response.css("div.notes").get(),
        "tags": response.css("ul.tags li").getall(),
        "page_save": f"{parcel_number}.html",
    }


def main():
    for doc in sc.get_input({"status": "pending"}):
        parcel = doc["parcel_number"]
        result = sc.fetch_response(url=doc["url"], parcel_number=parcel)
        if not result or not hasattr(result[0], "css"):
            print("no page for", parcel, result)
            sc.update_input("parcel_number", parcel, "failed")
            continue
        response, retries = result
        sc.InsertItem(parse(response, parcel), retries, parcel, RESULTS)
        sc.update_input("parcel_number", parcel, "done")

    export_dir = get_config("export_dir")
    sc.export_mongo_to_csv(RESULTS, RESULTS, export_dir)
    sc.export_mongo_to_excel(RESULTS, RESULTS, export_dir)


if __name__ == "__main__":
    main()
