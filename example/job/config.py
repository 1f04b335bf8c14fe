# Settings of the example job. The JSON overlay (NEXRA_CONFIG, default
# config.json beside this file) replaces any of them; run_job.py writes one
# with the address of its database, site proxy and output directory.
connection_string = "mongodb://127.0.0.1:27017/"
data_base = "example_job"
input_table = "parcels"
pl_input_table = "parcel_lists"
vantelo_path = "engine"
pagesave_path = "../output/pages"

# The job's own settings.
result_table = "parcel_records"
export_dir = "../output/export"
engine_proxy = None  # proxy address for the work items whose route is "engine"
retry_delay = None  # seconds between attempts; None keeps the library's own delay
