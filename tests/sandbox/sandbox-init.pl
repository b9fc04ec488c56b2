#!/usr/bin/perl
# Pid 1 of a sandbox, started by sandbox.sh inside fresh mount and pid
# namespaces (see the interface described there):
#   sandbox-init.pl NET DIR CWD -- COMMAND [ARGS...]   (NET: "--net" or empty)
# Builds the new root with direct mount calls (a process per mount would make
# every sandbox cost a second on a busy machine), switches to it, then acts as
# init: runs COMMAND with the standard descriptors it was given, reaps every
# orphan, turns SIGTERM (what the device's reboot sends to pid 1) into a line
# "reboot" in DIR/journal/init, and exits with COMMAND's status as soon as
# COMMAND ends. Leaving pid 1 makes the kernel kill whatever is left inside.
use strict;
use warnings;
use POSIX ();
use Cwd ();
use File::Basename ();
use File::Path qw(make_path);

sub fail { print STDERR "sandbox: @_\n"; exit 125; }
$SIG{__DIE__} = sub { fail(@_) };

my ($net, $dir, $cwd, $sep, @cmd) = @ARGV;
fail("bad arguments") unless defined $sep && $sep eq '--' && @cmd;
$$ == 1 or fail("must run as pid 1 of a fresh pid namespace");

my $here = File::Basename::dirname(Cwd::abs_path(__FILE__));
my $src = Cwd::abs_path("$here/../..");
my $stubs = "$here/stubs";
my $root = "$dir/.root";

my %syscalls = (x86_64 => [165, 166, 155], aarch64 => [40, 39, 41]);
my $machine = (POSIX::uname())[4];
my ($SYS_mount, $SYS_umount2, $SYS_pivot_root) = @{$syscalls{$machine} or fail("unsupported machine $machine")};

use constant {MS_RDONLY => 1, MS_NOSUID => 2, MS_NODEV => 4, MS_NOEXEC => 8,
    MS_REMOUNT => 32, MS_BIND => 4096, MS_REC => 16384, MNT_DETACH => 2};

# Strings go to the kernel as pointers, undef as a null pointer.
sub mnt {
    my ($from, $to, $type, $flags, $data) = @_;
    my @a = map { defined $_ ? "$_" : 0 } ($from, $to, $type, $data);
    syscall($SYS_mount, $a[0], $a[1], $a[2], $flags, $a[3]) == 0 or fail("mount $to: $!");
}
sub bind_ro {
    mnt($_[0], $_[1], undef, MS_BIND | MS_REC);
    mnt(undef, $_[1], undef, MS_REMOUNT | MS_BIND | MS_RDONLY);
}
sub touch { open(my $fh, '>>', $_[0]) or fail("create $_[0]: $!"); }
sub entries { opendir(my $dh, $_[0]) or return (); return sort grep { !/^\.\.?$/ } readdir $dh; }
# Every file below FROM is bound over the same name below TO, so what is
# written to it reaches FROM; folders are made anew, so a file the test did not
# provide stays absent.
sub overlay_files {
    my ($from, $to) = @_;
    for my $name (entries($from)) {
        my $path = "$to/$name";
        unlink $path if -l $path;
        if (-d "$from/$name" && !-l "$from/$name") {
            make_path($path);
            overlay_files("$from/$name", $path);
        } else {
            touch($path) unless -e $path;
            mnt("$from/$name", $path, undef, MS_BIND);
        }
    }
}

make_path($root);
mnt('sandbox', $root, 'tmpfs', 0, 'mode=0755');
make_path(map { "$root/$_" } qw(usr etc sys dev proc tmp var program .sandbox/host-bin));
bind_ro("/$_", "$root/$_") for qw(usr etc sys);
# The host's own tools stay reachable for pass-throughs the stand-ins shadow.
bind_ro('/usr/bin', "$root/.sandbox/host-bin");
for my $d (qw(bin sbin lib lib32 lib64 libx32)) {
    if (-l "/$d") {
        symlink(readlink("/$d"), "$root/$d") or fail("symlink $d: $!");
    } elsif (-d "/$d") {
        make_path("$root/$d");
        bind_ro("/$d", "$root/$d");
    }
}
# The stand-ins shadow the tools also where a program calls them by path.
mnt('sandbox-tools', "$root$_", 'overlay', 0, "lowerdir=$dir/bin:$stubs:$_") for ('/usr/bin', '/usr/sbin');
mnt("$dir/$_", "$root/$_", undef, MS_BIND) for qw(tmp var program);
symlink("$dir/journal", "$root/.sandbox/journal") or fail("symlink journal: $!");
symlink("$here/stub-record", "$root/.sandbox/stub-record") or fail("symlink stub-record: $!");

# /dev: a few harmless nodes and the host's pty pair.
mnt('sandbox-dev', "$root/dev", 'tmpfs', MS_NOSUID, 'mode=0755');
make_path(map { "$root/dev/$_" } qw(pts shm));
for my $n (qw(null zero full random urandom tty ptmx)) {
    touch("$root/dev/$n");
    mnt("/dev/$n", "$root/dev/$n", undef, MS_BIND);
}
mnt('/dev/pts', "$root/dev/pts", undef, MS_BIND);
mnt('sandbox-shm', "$root/dev/shm", 'tmpfs', MS_NOSUID | MS_NODEV, 'mode=1777');
symlink('/proc/self/fd', "$root/dev/fd");
symlink("/proc/self/fd/$_->[1]", "$root/dev/$_->[0]") for ([stdin => 0], [stdout => 1], [stderr => 2]);

# /proc: procfs cannot be overlaid and a bind needs an existing target, so the
# namespace's real procfs sits in .real and a tmpfs of links points into it.
mnt('sandbox-proc', "$root/proc", 'tmpfs', 0, 'mode=0555');
make_path("$root/proc/.real");
mnt('proc', "$root/proc/.real", 'proc', MS_NOSUID | MS_NODEV | MS_NOEXEC);
bind_ro("$root/proc/.real/sys", "$root/proc/.real/sys");
mnt('/dev/null', "$root/proc/.real/sysrq-trigger", undef, MS_BIND) if -e "$root/proc/.real/sysrq-trigger";
# Pids count up from 1 in a fresh namespace; a test never gets near 4096.
for my $name ((grep { !/^[0-9]/ } entries("$root/proc/.real")), 1 .. 4096) {
    symlink(".real/$name", "$root/proc/$name") or fail("symlink /proc/$name: $!");
}
overlay_files("$dir/proc", "$root/proc");
mnt(undef, "$root/proc", undef, MS_REMOUNT | MS_BIND | MS_RDONLY);
# Lookups with AI_ADDRCONFIG (tftpd's) find no IPv4 while 127.0.0.1 is the only address.
if ($net) {
    system('ip', 'link', 'set', 'lo', 'up') == 0 or fail("cannot bring lo up");
    system('ip', 'addr', 'add', '127.0.0.2/8', 'dev', 'lo') == 0 or fail("cannot add 127.0.0.2");
}

# The trees a test needs, at their host paths; shortest first, and plain binds
# so that DIR/.root (this very root) does not reappear inside.
my @visible = ($src, $dir);
push @visible, Cwd::abs_path($ENV{UPDATE_BINARY_DIR}) if defined $ENV{UPDATE_BINARY_DIR} && -d $ENV{UPDATE_BINARY_DIR};
push @visible, Cwd::abs_path(File::Basename::dirname($cmd[0])) if $cmd[0] =~ m{^/} && -e $cmd[0];
my %seen;
for my $p (sort { length($a) <=> length($b) } grep { defined && !$seen{$_}++ } @visible) {
    next if $p =~ m{^/(usr|etc|sys|proc|dev)(/|$)} || $p eq '/';
    make_path("$root$p");
    mnt($p, "$root$p", undef, MS_BIND);
}

chdir $root or fail("chdir $root: $!");
mkdir '.oldroot' or fail("mkdir .oldroot: $!");
my ($new_root, $put_old, $old_root) = ('.', '.oldroot', '/.oldroot');  # syscall wants writable strings
syscall($SYS_pivot_root, $new_root, $put_old) == 0 or fail("pivot_root: $!");
chdir '/';
syscall($SYS_umount2, $old_root, MNT_DETACH) == 0 or fail("umount old root: $!");
rmdir '/.oldroot';

%ENV = ((map { $_ => $ENV{$_} } grep { /^(UPDATE_.*|.*SAN_OPTIONS|GCOV_.*|LLVM_PROFILE_FILE)$/ } keys %ENV),
    PATH => "$dir/bin:$stubs:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
    HOME => '/tmp',
    SANDBOX_DIR => $dir);

$SIG{TERM} = sub {
    open(my $fh, '>>', "$dir/journal/init") or return;
    print $fh "reboot\n";
};

my $child = fork();
defined $child or fail("fork: $!");
if ($child == 0) {
    $SIG{TERM} = 'DEFAULT';
    chdir $cwd or chdir '/';
    { no warnings 'exec'; exec { $cmd[0] } @cmd; }
    print STDERR "sandbox: cannot run $cmd[0]: $!\n";
    POSIX::_exit(127);
}

while (1) {
    my $pid = waitpid(-1, 0);
    exit(($? & 127) ? 128 + ($? & 127) : ($? >> 8)) if $pid == $child;
    exit 125 if $pid < 0 && !$!{EINTR};
}
