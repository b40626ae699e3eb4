# Moved to tests/support/haproxy_fixture.sh; this line keeps older tests working.
. "$(dirname "${BASH_SOURCE[0]}")/../../../tests/support/haproxy_fixture.sh"
