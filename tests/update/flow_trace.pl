#!/usr/bin/perl
# flow_trace.pl DIR BINARY STATUS: what a traced run of BINARY did
# (flow_run.sh), from its strace output DIR/trace and the listings
# DIR/before and DIR/after ("SIGNATURE PATH" lines), as DIR/summary:
#   - the first program each child of the updater (a process named like
#     BINARY, or memupdate) runs, one line each: the LINE of "sh -c LINE",
#     else "exec" and the argument vector; "open DEV" for each flash device
#     the updater opens; BINARY shown as @;
#   - "rates:" each value the progress file takes (written in place or renamed
#     into place), a download's rising values up to 50 as "~50";
#   - "files:" +added -removed ~changed files and links below tmp/ var/
#     program/, by path, the progress and status files with =CONTENT (the
#     update log and the update record left out);
#   - "record:" the update record's previous and new versions ("PREVIOUS NEW"
#     when it has the fixed date line of the date stand-in), or its text;
#   - "status:" STATUS;
#   - "end:" the closing lines of the output DIR/out, and "reboot" when the
#     run asked for one, each followed by " | ".
use strict;
use warnings;
my ($dir, $binary, $status) = @ARGV;
my ($comm, $rate) = (substr((split m{/}, $binary)[-1], 0, 15), '/tmp/update_rate.log');
sub slurp { local (@ARGV, $/) = @_; return -f $_[0] ? <> : ''; }
my (%pending, %started, %content, @calls, @rates, $cloud);
for (split /\n/, slurp("$dir/trace")) {
    my ($pid, $who, $body) = /^(\d+)<(.*?)> (.*)$/ or next;
    if ($body =~ s/ <unfinished \.\.\.>$//) { $pending{$pid} = $body; next; }
    $body = $pending{$pid} . $1 if $body =~ /^<\.\.\. \w+ resumed>(.*)/;
    my ($args, $ret) = $body =~ /^(.*)\) += (-?\d+)/ or next;
    my @q = map { s/\\([0-7]{1,3}|.)/my $c = $1; $c =~ m{^[0-7]} ? chr(oct $c) : $c =~ tr{ntrvf}{\n\t\r\013\f}r/ger }
        $args =~ /"((?:[^"\\]|\\.)*)"/g;
    my $ours = $who eq $comm || $who eq 'memupdate';
    if ($args =~ /^execve\(/ && !$started{$pid}++ && $ours) {
        push @calls, @q == 4 && $q[1] eq 'sh' && $q[2] eq '-c' ? $q[3] : join(' ', 'exec', @q[1 .. $#q]);
    } elsif ($args =~ /^openat\(/ && $ours && $q[0] =~ m{^/dev/(mtd|hal_nvram)}) {
        push @calls, "open $q[0]";
    } elsif ($args =~ /^p?write(64)?\(\d+<(.*?)>, / && $ret >= 0) {
        $content{$2} = $q[0];
        push @rates, $q[0] if $2 eq $rate;
        $cloud ||= $2 =~ /download_stat/;
    } elsif ($args =~ /^rename/ && $ret == 0) {
        push @rates, $content{$q[0]} if $q[1] eq $rate;
    }
}
my $rates = join ' ', @rates;
$rates =~ s/^(?:[0-4]?\d )*50(?: 50)*(?= |$)/~50/ || $rates =~ s/^(?:[0-4]?\d(?: |$))+/~ / if $cloud;
my %list = map { my $n = $_; $n => {map { reverse split / /, $_, 2 } split /\n/, slurp("$dir/$n")} } qw(before after);
my ($before, $after) = @list{qw(before after)};
my @files;
for my $p (sort keys %{{%$before, %$after}}) {
    next if $p =~ m{^var/(log/update\.log|runtime/log/update_record\.log)$};
    my $c = !exists $after->{$p} ? '-' : !exists $before->{$p} ? '+' : $before->{$p} ne $after->{$p} ? '~' : next;
    push @files, $c . $p . ($c ne '-' && $p =~ m{^tmp/(update_rate|download_stat)\.log$} ? '=' . slurp("$dir/$p") : '');
}
my $record = slurp("$dir/var/runtime/log/update_record.log");
$record =~ s/^Previous Verion: (.*)\nUpgraded Verion: (.*)\nThu Jan  1 00:00:00 UTC 1970\n$/$1 $2/;
my $end = join '', map { "$_ | " } grep { /^(update \S+ success!|Update (success|failed)\..*|load or update failed!.*)$/ }
    split /\n/, slurp("$dir/out");
$end .= 'reboot | ' if -s "$dir/journal/init" || -s "$dir/journal/reboot";
my $summary = join('', map { "$_\n" } @calls) . "rates: $rates\nfiles: @files\nrecord: $record\nstatus: $status\nend: $end\n";
$summary =~ s/\Q$binary\E/\@/g;
open(my $out, '>', "$dir/summary") or die "summary: $!";
print $out $summary;
