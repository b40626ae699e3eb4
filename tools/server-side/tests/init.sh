# Moved to tests/support/init.sh; this line keeps older tests working.
. "$(dirname "${BASH_SOURCE[0]}")/../../../tests/support/init.sh"
