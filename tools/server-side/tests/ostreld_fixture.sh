# Moved to tests/support/ostreld_fixture.sh; this line keeps older tests working.
. "$(dirname "${BASH_SOURCE[0]}")/../../../tests/support/ostreld_fixture.sh"
