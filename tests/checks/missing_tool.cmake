# Stands in for a check whose tool is not installed: the check fails and
# says how to get the tool, rather than passing without having run.
message(FATAL_ERROR "${TOOL} not found: run .ci/install-deps checks")
