#!/usr/bin/perl
# Proves inside a --net sandbox that the device's standard server ports can be
# served on loopback: for tcp/21, tcp/80 and udp/69 a server bound to
# 127.0.0.1 gets a client's bytes back; 127.0.0.2 can be bound as well.
# Prints one "ok <what>" line per success, "fail <what>: <why>" otherwise.
use strict;
use warnings;
use IO::Socket::INET;

for my $port (21, 80) {
    my $srv = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => $port,
                                    Proto => 'tcp', Listen => 1, ReuseAddr => 1);
    if (!$srv) { print "fail tcp/$port: $@\n"; next; }
    my $cli = IO::Socket::INET->new(PeerAddr => '127.0.0.1', PeerPort => $port, Proto => 'tcp', Timeout => 5);
    if (!$cli) { print "fail tcp/$port: $@\n"; next; }
    my $conn = $srv->accept;
    $cli->syswrite("hello $port\n");
    my $line = <$conn>;
    print(($line // '') eq "hello $port\n" ? "ok tcp/$port\n" : "fail tcp/$port: got nothing\n");
}

my $udp = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => 69, Proto => 'udp');
if ($udp) {
    my $cli = IO::Socket::INET->new(PeerAddr => '127.0.0.1', PeerPort => 69, Proto => 'udp');
    $cli->send("rrq");
    my $got = '';
    my $rin = '';
    vec($rin, fileno($udp), 1) = 1;
    $udp->recv($got, 16) if select($rin, undef, undef, 5);
    print($got eq 'rrq' ? "ok udp/69\n" : "fail udp/69: got nothing\n");
} else {
    print "fail udp/69: $@\n";
}

my $second = IO::Socket::INET->new(LocalAddr => '127.0.0.2', LocalPort => 0, Proto => 'udp');
print($second ? "ok 127.0.0.2\n" : "fail 127.0.0.2: $@\n");
