#!/bin/sh
# The console of the installed service; its default program directory is the package's.
VANTOR_DIR=${VANTOR_DIR:-/opt/vantor-web}
export VANTOR_DIR
exec /opt/vantor-web/vantor-console "$@"
