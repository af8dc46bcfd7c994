#!/usr/bin/python3
"""Checks what the HTTP status served, with parsers that are not the station's.

  check_output.py status SCHEMA FILE   FILE is valid JSON and follows the JSON schema
  check_output.py metrics FILE         FILE parses as the Prometheus text format; prints
                                       one "name{labels} value" line per sample, sorted
Exit status 1 with the reason on standard error otherwise.
"""
import json
import sys


def check_status(schema_path, path):
    import jsonschema
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    with open(path, encoding="utf-8") as f:
        document = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    errors = list(jsonschema.Draft202012Validator(schema).iter_errors(document))
    for error in errors:
        print("%s: %s" % ("/".join(str(p) for p in error.absolute_path), error.message),
              file=sys.stderr)
    return 1 if errors else 0


def check_metrics(path):
    from prometheus_client.parser import text_string_to_metric_families
    with open(path, encoding="utf-8") as f:
        text = f.read()
    lines = []
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            labels = ",".join('%s="%s"' % (k, v) for k, v in sorted(sample.labels.items()))
            lines.append("%s{%s} %g" % (sample.name, labels, sample.value))
    print("\n".join(sorted(lines)))
    return 0


if __name__ == "__main__":
    try:
        if sys.argv[1] == "status":
            sys.exit(check_status(sys.argv[2], sys.argv[3]))
        if sys.argv[1] == "metrics":
            sys.exit(check_metrics(sys.argv[2]))
    except Exception as error:  # a parse failure is the finding
        print("%s: %s" % (type(error).__name__, error), file=sys.stderr)
        sys.exit(1)
    sys.exit(2)
