# Moved to tests/support/postgres_fixture.sh; this line keeps older tests working.
. "$(dirname "${BASH_SOURCE[0]}")/../../../tests/support/postgres_fixture.sh"
