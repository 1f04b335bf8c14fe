# Settings of the example job. The connection string comes from the JSON file
# that run_job.py writes (NEXRA_CONFIG), which overlays these values.
connection_string = "mongodb://127.0.0.1:27017/"
data_base = "example_job"
input_table = "parcels"
pl_input_table = "parcel_lists"
vantelo_path = "engine"
pagesave_path = "../output/pages"
result_table = "parcel_records"
export_dir = "../output/export"
