// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-cli doctor with a device behind a veth link, this side's
// nftables ruleset set by each case, and a veth pair left down.
#include "cli_fixture.h"

#include <cstdlib>

namespace
{

// A typical stateful host filter: replies to a broadcast request are not
// part of any connection it knows.
constexpr const char *STATEFUL =
    "table inet filter { chain input { type filter hook input "
    "priority 0; policy drop; ct state established,related accept; }; }";

class DoctorCliTest : public CliTest
{
  protected:
    void SetUp() override
    {
        CliTest::SetUp();
        const std::string device = "ip -n " + ns();
        const std::string script = "set -e; ip netns add " + ns() +
                                   "; ip link add dch0 type veth peer name dcd0 netns " + ns() +
                                   "; ip addr add 198.18.6.1/24 dev dch0; ip link set dch0 up; " +
                                   device + " addr add 198.18.6.2/24 dev dcd0; " + device +
                                   " link set dcd0 up; ip link add dcx0 type veth peer name dcx1";
        ASSERT_EQ(std::system(script.c_str()), 0) << script;
        ASSERT_TRUE(sim_.start(path("sim.log"),
                               {"addr=198.18.6.2,mask=255.255.255.0,mac=02:aa:00:00:00:06"},
                               {"ip", "netns", "exec", ns()}));
    }
    void TearDown() override
    {
        if (sim_.running()) {
            EXPECT_TRUE(sim_.stop());
        }
        EXPECT_EQ(std::system(("ip netns del " + ns() + " 2>/dev/null; true").c_str()), 0);
        CliTest::TearDown();
    }
    static std::string ns() { return "devscout-" + std::to_string(getpid()) + "-doctor"; }

    ProgramResult cli(const std::string &command)
    {
        double seconds = 0;
        return CliTest::cli(command, &seconds);
    }
    void load_rules(const std::string &rules)
    {
        write_file("rules.nft", rules);
        ASSERT_EQ(std::system(("nft -f " + path("rules.nft")).c_str()), 0) << rules;
    }
};

TEST_F(DoctorCliTest, NamesTheDroppingChainAndItsCommandAdmitsTheReplies)
{
    load_rules(STATEFUL);
    EXPECT_EQ(cli("--no-inventory discover").out.find("198.18.6.2"), std::string::npos);

    const ProgramResult doctor = cli("doctor");
    EXPECT_EQ(doctor.status, 1) << doctor.out;
    for (const char *line :
         {"ok: interface dch0: used: 198.18.6.1/24, broadcast 198.18.6.255\n",
          "note: interface dcx0: left out: down (ip link set dcx0 up)\n",
          "problem: packet filter: nftables drops replies to UDP ports ",
          " on dch0 in table inet filter, chain input, policy drop; admit them: ",
          "ok: reverse-path filter on dch0: off\n",
          "ok: limited broadcast: routed from every address a run uses\n"})
        EXPECT_NE(doctor.out.find(line), std::string::npos) << line << "\n" << doctor.out;

    // Exactly what it says to run.
    const std::string admit = "admit them: ", run_with = " and run with --source-port ";
    const size_t from = doctor.out.find(admit), to = doctor.out.find(run_with);
    ASSERT_NE(to, std::string::npos) << doctor.out;
    const std::string command = doctor.out.substr(from + admit.size(), to - from - admit.size());
    const std::string port =
        doctor.out.substr(to + run_with.size(), doctor.out.find('\n', to) - to - run_with.size());
    EXPECT_EQ(command,
              "nft insert rule inet filter input udp sport 62387 udp dport " + port + " accept");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    const ProgramResult fixed = cli("--source-port " + port + " doctor");
    EXPECT_EQ(fixed.status, 0) << fixed.out;
    // One line for the one interface, and nothing else of the ruleset.
    size_t filter_lines = 0;
    for (size_t at = 0; (at = fixed.out.find("packet filter:", at)) != std::string::npos; ++at)
        ++filter_lines;
    EXPECT_EQ(filter_lines, 1u) << fixed.out;
    EXPECT_NE(fixed.out.find("ok: packet filter: nftables lets replies to UDP port " + port +
                             " in on dch0\n"),
              std::string::npos)
        << fixed.out;
    EXPECT_NE(cli("--no-inventory --source-port " + port + " discover").out.find("198.18.6.2 "),
              std::string::npos);
}

struct VerdictCase {
    const char *rules;    // nft -f input; "" for none
    const char *commands; // shell commands that set the host up; "" for none
    const char *options;
    int status;
    const char *says; // a line of the doctor's output, or its start
};

const VerdictCase VERDICT_CASES[] = {
    {"", "", "", 0,
     "ok: packet filter: nftables lets replies to UDP ports 32768-60999 (the system "
     "picks one per run) in on dch0\n"},
    {STATEFUL, "", "--source-port 40000", 1,
     "problem: packet filter: nftables drops replies to UDP port 40000 on dch0 in table inet "
     "filter, chain input, policy drop; admit them: nft insert rule inet filter input udp sport "
     "62387 udp dport 40000 accept and run with --source-port 40000\n"},
    // What a rule matches, against the reply on dch0 from 198.18.6.0/24.
    {"table ip f { chain in { type filter hook input priority 0; policy drop; "
     "iif lo accept; tcp dport 22 accept; ip protocol icmp accept; }; }",
     "", "", 1,
     "problem: packet filter: nftables drops replies to UDP ports 32768-60999 (the system picks "
     "one per run) on dch0 in table ip f, chain in, policy drop; admit them: nft insert rule ip "
     "f in "},
    {"table inet f { chain in { type filter hook input priority 0; policy drop; "
     "iifname \"dch*\" meta l4proto udp accept; }; }",
     "", "", 0, "ok: packet filter: nftables lets replies"},
    {"table inet f { chain in { type filter hook input priority 0; policy drop; "
     "ip protocol udp udp dport 32768-60999 ip saddr 198.18.6.0/24 accept; }; }",
     "", "", 0, "ok: packet filter: nftables lets replies"},
    {"table inet f { chain in { type filter hook input priority 0; policy drop; "
     "udp dport { 53, 40000 } accept; }; }",
     "", "--source-port 40000", 0, "ok: packet filter: nftables lets replies to UDP port 40000"},
    {"table inet f { chain in { type filter hook input priority 0; policy drop; "
     "udp dport 40000 accept; }; }",
     "", "", 1, "problem: packet filter: nftables drops"},
    {"table inet f { chain in { type filter hook input priority 0; policy drop; "
     "ip saddr 198.18.6.0/25 accept; }; }",
     "", "", 0,
     "not checked: packet filter: cannot tell whether nftables lets replies to UDP ports "
     "32768-60999 (the system picks one per run) in on dch0: table inet f, chain in, rule: ip "
     "saddr 198.18.6.0/25 accept is beyond this check; to be sure: nft insert rule inet f in "},
    {"table inet f { chain in { type filter hook input priority 0; policy drop; "
     "ip saddr 10.0.0.0/8 accept; ct state new limit rate 5/second accept; }; }",
     "", "", 0, "not checked: packet filter: cannot tell whether nftables lets replies"},
    {"table inet f { chain in { type filter hook input priority 0; policy accept; "
     "iifname != \"dch0\" drop; meta nfproto ipv6 drop; ct state invalid drop; }; }",
     "", "", 0, "ok: packet filter: nftables lets replies"},
    {"table inet f { chain in { type filter hook input priority 0; policy accept; "
     "udp sport 62387 counter drop; }; }",
     "", "", 1,
     "problem: packet filter: nftables drops replies to UDP ports 32768-60999 (the system picks "
     "one per run) on dch0 in table inet f, chain in, rule: udp sport 62387 counter packets "},
    {"table inet f { chain in { type filter hook input priority 0; policy drop; "
     "ip saddr { 10.1.1.1, 192.0.2.0/24 } drop; ip saddr 198.18.0.0/15 accept; }; }",
     "", "", 0, "ok: packet filter: nftables lets replies"},
    {"table inet f { chain in { type filter hook input priority 0; policy drop; "
     "udp dport 39999 accept; }; }",
     "", "--source-port 40000", 1, "problem: packet filter: nftables drops"},
    {"table inet f { chain in { type filter hook input priority 0; policy accept; "
     "ip daddr 198.18.6.0/24 drop; }; }",
     "", "", 0, "not checked: packet filter: cannot tell whether nftables lets replies"},
    // Jumps, returns and gotos, and base chains in priority order: an accept
    // ends only its own chain.
    {"table inet f { chain allow { return; udp sport 62387 accept; }; "
     "chain block { ct state != established drop; }; "
     "chain in { type filter hook input priority 0; policy accept; jump allow; goto block; }; }",
     "", "", 1,
     "problem: packet filter: nftables drops replies to UDP ports 32768-60999 (the system "
     "picks one per run) on dch0 in table inet f, chain block (from in), rule: ct state "
     "!= established drop; admit them: nft insert rule inet f in "},
    {"table inet f { chain allow { udp sport 62387 accept; }; "
     "chain in { type filter hook input priority 0; policy drop; jump allow; }; }",
     "", "", 0, "ok: packet filter: nftables lets replies"},
    {"table inet f { chain late { type filter hook input priority 10; policy drop; }; "
     "chain early { type filter hook input priority -10; policy accept; accept; }; }",
     "", "", 1,
     "problem: packet filter: nftables drops replies to UDP ports 32768-60999 (the system "
     "picks one per run) on dch0 in table inet f, chain late, policy drop"},
    {"table inet f { chain a { type filter hook input priority 10; policy drop; }; "
     "chain b { type filter hook input priority -10; udp sport 62387 drop; }; }",
     "", "", 1, "in table inet f, chain b, rule: udp sport 62387 drop; "},
    // Reverse-path filtering and the route of the limited broadcast.
    {"", "sysctl -qw net.ipv4.conf.dch0.rp_filter=1", "", 1,
     "problem: reverse-path filter on dch0: strict, and the default route is missing: replies "
     "from devices outside dch0's subnet (factory addresses) are dropped; loosen it: sysctl -w "
     "net.ipv4.conf.dch0.rp_filter=2\n"},
    {"", "sysctl -qw net.ipv4.conf.all.rp_filter=1; ip route add default via 198.18.6.2", "", 0,
     "ok: reverse-path filter on dch0: strict, but the default route leaves by dch0\n"},
    {"", "sysctl -qw net.ipv4.conf.all.rp_filter=2", "", 0,
     "ok: reverse-path filter on dch0: loose\n"},
    {"", "ip link set dch0 down; ip route del broadcast 255.255.255.255 dev lo table local", "", 1,
     "problem: limited broadcast: cannot send to 255.255.255.255 from any address: Network is "
     "unreachable; nothing is sent"},
};

class DoctorVerdictTest : public DoctorCliTest
{
};

TEST_P(DoctorVerdictTest, SaysWhatTheRulesetDoesWithTheReplies)
{
    const VerdictCase &c = VERDICT_CASES[GetParam()];
    SCOPED_TRACE(std::string(c.rules) + c.commands);
    if (*c.rules != '\0')
        load_rules(c.rules);
    ASSERT_EQ(std::system(c.commands), 0);
    const ProgramResult doctor = cli(std::string(c.options) + " doctor");
    EXPECT_EQ(doctor.status, c.status) << doctor.out;
    EXPECT_NE(doctor.out.find(c.says), std::string::npos) << doctor.out;
}

INSTANTIATE_TEST_SUITE_P(Rows, DoctorVerdictTest,
                         testing::Range<size_t>(0, std::size(VERDICT_CASES)));

// What a real run counted on dch0, with the device there and without.
TEST_F(DoctorCliTest, ProbeCountsWhatCameBack)
{
    const ProgramResult heard = cli("doctor --probe");
    EXPECT_EQ(heard.status, 0) << heard.out;
    EXPECT_NE(heard.out.find("ok: probe dch0: 3 requests sent, 3 datagrams received, 3 valid "
                             "replies\n"),
              std::string::npos)
        << heard.out;
    ASSERT_TRUE(sim_.stop());
    const ProgramResult silent = cli("doctor --probe");
    EXPECT_EQ(silent.status, 0) << silent.out;
    EXPECT_NE(silent.out.find("note: probe dch0: 3 requests sent, 0 datagrams received, 0 valid "
                              "replies: nothing came back"),
              std::string::npos)
        << silent.out;
}

// ufw and firewalld are recognised by their files, faked here on mounts of
// the doctor's own: ufw's configuration and a running firewalld's pid file.
TEST_F(DoctorCliTest, NamesActiveFirewallFrontEnds)
{
    load_rules(STATEFUL);
    const std::string script =
        "mount --make-rprivate / && mount -t tmpfs none /run && mount -t tmpfs none /etc && "
        "mkdir /etc/ufw && echo ENABLED=yes > /etc/ufw/ufw.conf && cp /bin/sleep /run/firewalld "
        "&& { /run/firewalld 30 & echo $! > /run/firewalld.pid; } && \"$0\" doctor; "
        "status=$?; kill $(cat /run/firewalld.pid); exit $status";
    const ProgramResult result =
        run_program({"/usr/bin/unshare", "-m", "/bin/sh", "-c", script, CLI_BINARY});
    EXPECT_EQ(result.status, 1) << result.err;
    for (const char *line :
         {"problem: firewall: ufw is active; admit the replies: ufw allow proto udp to any port "
          "62388 and run with --source-port 62388\n",
          "problem: firewall: firewalld is running; admit the replies: firewall-cmd "
          "--add-port=62388/udp and run with --source-port 62388\n"})
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
}

// Without privileges nft cannot read the ruleset; the doctor says so.
TEST_F(DoctorCliTest, SaysWhatItCouldNotCheck)
{
    const ProgramResult result = run_program({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                              "--clear-groups", CLI_BINARY, "doctor"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("not checked: packet filter: nft may not read the ruleset without "
                              "privileges (run as root)\n"),
              std::string::npos)
        << result.out;
}

} // namespace
