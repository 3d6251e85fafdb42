// SPDX-License-Identifier: GPL-3.0-or-later
// The input hook's chains walked for one reply, in the kernel's order. Only
// the matches a host filter commonly uses are understood; any other that
// could decide the reply's fate makes the answer "cannot tell".
#include "nft_verdict.h"

#include "discover.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <arpa/inet.h>
#include <map>
#include <vector>

namespace
{

enum Match { NO, YES, MAYBE };

// How much of the packet's range of values a match's right side covers.
enum Cover { NONE, ALL, SOME, UNREADABLE };

struct Interval {
    uint32_t low, high;
};

bool read_address(const QJsonValue &value, uint32_t *out)
{
    in_addr address{};
    if (!value.isString() ||
        inet_pton(AF_INET, value.toString().toLatin1().constData(), &address) != 1)
        return false;
    *out = ntohl(address.s_addr);
    return true;
}

// Ports and addresses alike become intervals; false for what is neither.
bool read_interval(const QJsonValue &element, Interval *out)
{
    if (element.isDouble()) {
        out->low = out->high = static_cast<uint32_t>(element.toInteger(-1));
        return element.toInteger(-1) >= 0;
    }
    if (element.isString())
        return read_address(element, &out->low) && read_address(element, &out->high);
    const QJsonObject object = element.toObject();
    if (object.contains("range")) {
        const QJsonArray range = object["range"].toArray();
        Interval low{}, high{};
        if (range.size() != 2 || !read_interval(range[0], &low) || !read_interval(range[1], &high))
            return false;
        *out = {low.low, high.high};
        return true;
    }
    const QJsonObject prefix = object["prefix"].toObject();
    const int length = prefix["len"].toInt(-1);
    uint32_t address = 0;
    if (length < 0 || length > 32 || !read_address(prefix["addr"], &address))
        return false;
    const uint32_t host_bits = length == 0 ? 0xffffffffu : (1u << (32 - length)) - 1;
    *out = {address & ~host_bits, address | host_bits};
    return true;
}

// A match's right side as a list: an anonymous set, a list of flags, or one
// value. A named set ("@name") stays a string the matches do not know.
QJsonArray elements(const QJsonValue &right)
{
    if (right.isArray())
        return right.toArray();
    if (right.isObject() && right.toObject().contains("set"))
        return right.toObject()["set"].toArray();
    return QJsonArray{right};
}

Cover cover(const QJsonValue &right, Interval packet)
{
    std::vector<Interval> intervals;
    for (const QJsonValue &element : elements(right)) {
        Interval interval{};
        if (!read_interval(element, &interval))
            return UNREADABLE;
        intervals.push_back(interval);
    }
    std::sort(intervals.begin(), intervals.end(),
              [](const Interval &a, const Interval &b) { return a.low < b.low; });
    // The part of the packet's range covered from its low end on, and
    // whether any of it is covered at all.
    uint64_t covered_to = packet.low; // first value not yet covered
    bool any = false;
    for (const Interval &interval : intervals) {
        if (interval.high < packet.low || interval.low > packet.high)
            continue;
        any = true;
        if (interval.low <= covered_to)
            covered_to = std::max<uint64_t>(covered_to, uint64_t{interval.high} + 1);
    }
    if (covered_to > packet.high)
        return ALL;
    return any ? SOME : NONE;
}

bool contains_text(const QJsonValue &right, const QString &wanted, bool wildcards)
{
    for (const QJsonValue &element : elements(right)) {
        const QString text = element.toString();
        if (text == wanted ||
            (wildcards && text.endsWith('*') && wanted.startsWith(QStringView(text).chopped(1))))
            return true;
    }
    return false;
}

bool names_udp(const QJsonValue &right)
{
    for (const QJsonValue &element : elements(right))
        if (element.toString() == "udp" || element.toInteger() == IPPROTO_UDP)
            return true;
    return false;
}

Match from_bool(bool yes)
{
    return yes ? YES : NO;
}

// Protocols whose header a UDP reply over IPv4 lacks: a match on them fails
// whatever it compares.
bool other_protocol(const QString &protocol)
{
    static const QStringList others = {"tcp",  "icmp",    "icmpv6", "ip6", "sctp", "dccp",
                                       "igmp", "udplite", "ah",     "esp", "comp"};
    return others.contains(protocol);
}

class Evaluator
{
  public:
    explicit Evaluator(const ReplyPacket &packet) : packet_(packet) {}

    Match match(const QJsonObject &match) const
    {
        const QString op = match["op"].toString();
        const QJsonObject left = match["left"].toObject();
        const QJsonValue right = match["right"];
        const QJsonObject payload = left["payload"].toObject();
        if (other_protocol(payload["protocol"].toString()))
            return NO;
        if (op != "==" && op != "in" && op != "!=")
            return MAYBE;
        const Match equal = compare(left, payload, right);
        if (op != "!=" || equal == MAYBE)
            return equal;
        return equal == YES ? NO : YES;
    }

  private:
    Match compare(const QJsonObject &left, const QJsonObject &payload,
                  const QJsonValue &right) const
    {
        const QString key = left["meta"].toObject()["key"].toString();
        const QString protocol = payload["protocol"].toString();
        const QString field = payload["field"].toString();
        if (left["ct"].toObject()["key"].toString() == "state")
            return from_bool(contains_text(right, "new", false));
        if (key == "iifname" || key == "iif") {
            if (packet_.interface.empty())
                return MAYBE;
            return from_bool(
                contains_text(right, QString::fromStdString(packet_.interface), key == "iifname"));
        }
        if (key == "l4proto" || (protocol == "ip" && field == "protocol"))
            return from_bool(names_udp(right));
        if (key == "nfproto")
            return from_bool(contains_text(right, "ipv4", false));
        if ((protocol == "udp" || protocol == "th") && (field == "dport" || field == "sport")) {
            const Interval ports = field == "sport" ? Interval{DISCOVER_PORT, DISCOVER_PORT}
                                                    : Interval{packet_.port_low, packet_.port_high};
            // A set that holds some of the ports the system may pick does not
            // admit the run's port reliably, nor drop it.
            const Cover covered = cover(right, ports);
            return covered == UNREADABLE ? MAYBE : from_bool(covered == ALL);
        }
        if (protocol == "ip" && field == "saddr") {
            const uint32_t net = ntohl(packet_.subnet.s_addr & packet_.netmask.s_addr);
            const Cover covered = cover(right, {net, net | ~ntohl(packet_.netmask.s_addr)});
            return covered == ALL ? YES : covered == NONE ? NO : MAYBE;
        }
        return MAYBE;
    }

    const ReplyPacket &packet_;
};

struct Chain {
    QString family, table, name, hook, type, policy;
    int priority = 0;
    std::vector<QJsonObject> rules;
};

// How a chain ended for the reply.
enum Flow { FLOW_ON, FLOW_ACCEPT, FLOW_DROP, FLOW_UNKNOWN };

// Deeper jumps than this are loops, which nft refuses anyway.
constexpr int MAX_JUMPS = 16;

class Walker
{
  public:
    Walker(const std::map<QString, Chain> &chains, const ReplyPacket &packet)
        : chains_(chains), evaluator_(packet)
    {
    }

    static QString key(const QString &family, const QString &table, const QString &name)
    {
        return family + ' ' + table + ' ' + name;
    }

    // FLOW_ON also for a return. where gets the deciding rule's place.
    Flow walk(const Chain &chain, int depth, FilterVerdict *where) const
    {
        if (depth > MAX_JUMPS)
            return FLOW_UNKNOWN;
        for (const QJsonObject &rule : chain.rules) {
            Match matched = YES;
            QString verdict;
            QJsonObject verdict_value;
            for (const QJsonValue &item : rule["expr"].toArray()) {
                const QJsonObject statement = item.toObject();
                const QString name = statement.keys().value(0);
                if (name == "match") {
                    const Match one = evaluator_.match(statement["match"].toObject());
                    matched = one == NO || matched == NO ? NO : std::max(matched, one);
                } else if (name == "accept" || name == "drop" || name == "reject" ||
                           name == "return" || name == "jump" || name == "goto" ||
                           name == "continue") {
                    verdict = name;
                    verdict_value = statement[name].toObject();
                } else if (name != "counter" && name != "log") {
                    // A statement this check does not know may match or
                    // decide like a verdict.
                    matched = matched == NO ? NO : MAYBE;
                    verdict = verdict.isEmpty() ? "unknown" : verdict;
                }
            }
            if (matched == NO || verdict.isEmpty() || verdict == "continue")
                continue;
            where->chain = chain.name.toStdString();
            where->handle = rule["handle"].toInt(-1);
            if (matched == MAYBE)
                return FLOW_UNKNOWN;
            if (verdict == "accept")
                return FLOW_ACCEPT;
            if (verdict == "drop" || verdict == "reject")
                return FLOW_DROP;
            if (verdict == "return")
                return FLOW_ON;
            const auto target =
                chains_.find(key(chain.family, chain.table, verdict_value["target"].toString()));
            if (target == chains_.end())
                return FLOW_UNKNOWN;
            const Flow flow = walk(target->second, depth + 1, where);
            // A goto's target returns to this chain's caller.
            if (flow != FLOW_ON || verdict == "goto")
                return flow;
        }
        return FLOW_ON;
    }

  private:
    const std::map<QString, Chain> &chains_;
    Evaluator evaluator_;
};

} // namespace

FilterVerdict evaluate_ruleset(const QByteArray &json, const ReplyPacket &packet)
{
    FilterVerdict verdict;
    const QJsonValue items = QJsonDocument::fromJson(json).object()["nftables"];
    if (!items.isArray()) {
        verdict.kind = VERDICT_UNKNOWN;
        return verdict;
    }
    std::map<QString, Chain> chains;
    std::vector<const Chain *> input;
    for (const QJsonValue &item : items.toArray()) {
        const QJsonObject object = item.toObject();
        if (object.contains("chain")) {
            const QJsonObject c = object["chain"].toObject();
            Chain chain{c["family"].toString(), c["table"].toString(),
                        c["name"].toString(),   c["hook"].toString(),
                        c["type"].toString(),   c["policy"].toString(),
                        c["prio"].toInt(),      {}};
            chains[Walker::key(chain.family, chain.table, chain.name)] = chain;
        } else if (object.contains("rule")) {
            const QJsonObject rule = object["rule"].toObject();
            const auto chain = chains.find(Walker::key(
                rule["family"].toString(), rule["table"].toString(), rule["chain"].toString()));
            if (chain != chains.end())
                chain->second.rules.push_back(rule);
        }
    }
    for (const auto &[key, chain] : chains)
        if (chain.hook == "input" && chain.type == "filter" &&
            (chain.family == "ip" || chain.family == "inet"))
            input.push_back(&chain);
    std::stable_sort(input.begin(), input.end(),
                     [](const Chain *a, const Chain *b) { return a->priority < b->priority; });

    const Walker walker(chains, packet);
    // An accept ends one base chain only: the next one sees the reply too.
    for (const Chain *chain : input) {
        FilterVerdict here;
        here.family = chain->family.toStdString();
        here.table = chain->table.toStdString();
        here.base_chain = chain->name.toStdString();
        here.chain = here.base_chain;
        Flow flow = walker.walk(*chain, 0, &here);
        if (flow == FLOW_ON) {
            here.chain = here.base_chain;
            here.handle = -1;
            flow = chain->policy == "drop" ? FLOW_DROP : FLOW_ACCEPT;
        }
        if (flow == FLOW_ACCEPT)
            continue;
        here.kind = flow == FLOW_DROP ? VERDICT_DROP : VERDICT_UNKNOWN;
        return here;
    }
    return verdict;
}
