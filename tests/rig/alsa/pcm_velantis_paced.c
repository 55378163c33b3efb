/* The paced test sound device (README.md). Parameters: infile, outfile ("%r": the rate),
 * speed (a number or a text), control. */
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

/* One direction's line of the control file. */
typedef struct {
    unsigned long unplugs; /* times the card was unplugged so far */
    int away;              /* unplugged now: opening fails */
    int eio;               /* transfers fail with -EIO while set */
} control_t;

typedef struct {
    snd_pcm_ioplug_t io;
    char* infile;
    char* outfile;
    char* control;
    unsigned long unplugs_at_open;
    int dead; /* the card went away while open: DISCONNECTED for good */
    double speed;
    FILE* in;
    int in_eof;
    FILE* out;
    int timer_fd;
    int running;
    struct timespec start_time;
    uint64_t transferred; /* frames handed over since prepare */
    unsigned int frame_bytes;
} paced_t;

/* The control file's line "<capture|playback> <unplugs> <away> <eio>" for this direction;
 * a missing file or line: present, no fault. */
static control_t read_control(const char* path, snd_pcm_stream_t stream) {
    control_t c = {0, 0, 0};
    if (!path || !*path) return c;
    FILE* f = fopen(path, "re");
    if (!f) return c;
    const char* want = stream == SND_PCM_STREAM_PLAYBACK ? "playback" : "capture";
    char dir[16];
    control_t line;
    while (fscanf(f, "%15s %lu %d %d", dir, &line.unplugs, &line.away, &line.eio) == 4) {
        if (!strcmp(dir, want)) c = line;
    }
    fclose(f);
    return c;
}

/* The card's state for this handle: 0, -ENODEV once it has gone away since the open (the
 * handle stays dead, as a USB card's does), or -EIO while transient faults are switched on. */
static int card_state(snd_pcm_ioplug_t* io, int transfer) {
    paced_t* p = io->private_data;
    if (!p->dead) {
        control_t c = read_control(p->control, io->stream);
        if (c.unplugs != p->unplugs_at_open || c.away)
            p->dead = 1;
        else if (transfer && c.eio)
            return -EIO;
    }
    if (!p->dead) return 0;
    snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
    return -ENODEV;
}

/* Frames the "hardware" has consumed or produced since start. */
static uint64_t clock_frames(const paced_t* p) {
    if (!p->running) return 0;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t ns = (int64_t)(now.tv_sec - p->start_time.tv_sec) * 1000000000LL + (now.tv_nsec - p->start_time.tv_nsec);
    return ns < 0 ? 0 : (uint64_t)((double)ns * p->speed * p->io.rate / 1e9);
}

static void arm_timer(paced_t* p, int on) {
    struct itimerspec its;
    memset(&its, 0, sizeof(its));
    if (on && p->io.rate > 0 && p->io.period_size > 0) {
        double ns = (double)p->io.period_size * 1e9 / p->io.rate / p->speed;
        if (ns < 100000.0) ns = 100000.0;
        its.it_interval.tv_sec = (time_t)(ns / 1e9);
        its.it_interval.tv_nsec = (long)(ns - (double)its.it_interval.tv_sec * 1e9);
        its.it_value = its.it_interval;
    }
    timerfd_settime(p->timer_fd, 0, &its, NULL);
}

/* Starts or stops the "hardware" clock and its timer. */
static void set_running(paced_t* p, int on) {
    if (on) clock_gettime(CLOCK_MONOTONIC, &p->start_time);
    p->running = on;
    arm_timer(p, on);
}

static int paced_start(snd_pcm_ioplug_t* io) {
    int err = card_state(io, 0);
    if (err == 0) set_running(io->private_data, 1);
    return err;
}

static int paced_stop(snd_pcm_ioplug_t* io) {
    set_running(io->private_data, 0);
    return 0;
}

static snd_pcm_sframes_t paced_pointer(snd_pcm_ioplug_t* io) {
    paced_t* p = io->private_data;
    int err = card_state(io, 0);
    if (err < 0) return err;
    uint64_t hw = clock_frames(p);
    if (io->stream == SND_PCM_STREAM_PLAYBACK) {
        if (hw > p->transferred) return -EPIPE; /* underrun: the card ran out of data */
    } else if (hw > p->transferred + io->buffer_size) {
        return -EPIPE; /* overrun: nobody read in time */
    }
    return (snd_pcm_sframes_t)(hw % io->buffer_size);
}

static snd_pcm_sframes_t paced_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                        snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    paced_t* p = io->private_data;
    int err = card_state(io, 1);
    if (err < 0) return err;
    char* buf = (char*)areas->addr + (areas->first + areas->step * offset) / 8;
    size_t bytes = size * p->frame_bytes;
    if (io->stream == SND_PCM_STREAM_PLAYBACK) {
        if (p->out) {
            if (fwrite(buf, 1, bytes, p->out) != bytes) return -EIO;
            fflush(p->out);
        }
    } else {
        size_t got = 0;
        if (p->in && !p->in_eof) {
            got = fread(buf, 1, bytes, p->in);
            if (got < bytes) p->in_eof = 1;
        }
        memset(buf + got, 0, bytes - got);
    }
    p->transferred += size;
    return (snd_pcm_sframes_t)size;
}

static int paced_close(snd_pcm_ioplug_t* io) {
    paced_t* p = io->private_data;
    if (p->in) fclose(p->in);
    if (p->out) fclose(p->out);
    if (p->timer_fd >= 0) close(p->timer_fd);
    free(p->infile);
    free(p->outfile);
    free(p->control);
    free(p);
    return 0;
}

/* The output file name with "%r" replaced by the rate. */
static char* expand_rate(const char* pattern, unsigned int rate) {
    char* out = malloc(strlen(pattern) * 8 + 1); /* 10 digits at most for each "%r" */
    if (!out) return NULL;
    char* w = out;
    for (const char* r = pattern; *r; ++r) {
        if (r[0] == '%' && r[1] == 'r') {
            w += snprintf(w, 11, "%u", rate);
            ++r;
        } else {
            *w++ = *r;
        }
    }
    *w = '\0';
    return out;
}

static int paced_hw_params(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* params) {
    paced_t* p = io->private_data;
    p->frame_bytes = io->channels * 2;
    if (io->stream == SND_PCM_STREAM_PLAYBACK && p->outfile && *p->outfile && !p->out) {
        char* name = expand_rate(p->outfile, io->rate);
        if (!name) return -ENOMEM;
        p->out = fopen(name, "ab");
        const int err = p->out ? 0 : (errno ? errno : EIO); /* before anything can change errno */
        if (!p->out) SNDERR("velantis_paced: cannot open outfile %s: %s", name, strerror(err));
        free(name);
        if (!p->out) return -err;
    }
    return 0;
}

static int paced_prepare(snd_pcm_ioplug_t* io) {
    paced_t* p = io->private_data;
    int err = card_state(io, 0);
    if (err < 0) return err;
    set_running(p, 0);
    p->transferred = 0;
    return 0;
}

static int paced_drain(snd_pcm_ioplug_t* io) {
    paced_t* p = io->private_data;
    int err = card_state(io, 0);
    if (err < 0) return err;
    if (io->stream != SND_PCM_STREAM_PLAYBACK) return 0;
    if (!p->running) set_running(p, 1);
    uint64_t played = clock_frames(p);
    if (played < p->transferred) {
        double ns = (double)(p->transferred - played) * 1e9 / io->rate / p->speed;
        struct timespec ts = {(time_t)(ns / 1e9), 0};
        ts.tv_nsec = (long)(ns - (double)ts.tv_sec * 1e9);
        while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
        }
    }
    return 0;
}

static int paced_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds, unsigned short* revents) {
    paced_t* p = io->private_data;
    uint64_t ticks;
    while (read(p->timer_fd, &ticks, sizeof(ticks)) > 0) {
    }
    *revents = 0;
    if (card_state(io, 0) < 0) {
        *revents = POLLERR;
        return 0;
    }
    if (nfds >= 1 && (pfd[0].revents & POLLIN)) *revents = io->stream == SND_PCM_STREAM_PLAYBACK ? POLLOUT : POLLIN;
    return 0;
}

static const snd_pcm_ioplug_callback_t paced_callbacks = {
    .start = paced_start,
    .stop = paced_stop,
    .pointer = paced_pointer,
    .transfer = paced_transfer,
    .close = paced_close,
    .hw_params = paced_hw_params,
    .prepare = paced_prepare,
    .drain = paced_drain,
    .poll_revents = paced_poll_revents,
};

static int read_text(snd_config_t* n, char** out) {
    const char* s;
    if (snd_config_get_string(n, &s) < 0) return -EINVAL;
    free(*out);
    *out = strdup(s);
    return *out ? 0 : -ENOMEM;
}

static int read_speed(snd_config_t* n, double* speed) {
    double v = 0;
    const char* s;
    if (snd_config_get_string(n, &s) >= 0) {
        char* end = NULL;
        v = strtod(s, &end);
        if (end == s) return -EINVAL;
    } else if (snd_config_get_ireal(n, &v) < 0) {
        return -EINVAL;
    }
    if (!(v > 0.0 && v <= 1000.0)) return -EINVAL;
    *speed = v;
    return 0;
}

static int set_constraints(snd_pcm_ioplug_t* io) {
    static const unsigned int accesses[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    static const unsigned int formats[] = {SND_PCM_FORMAT_S16_LE};
    int err;
    if ((err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, accesses)) < 0 ||
        (err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 2)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, 8000, 192000)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 640, 16384)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 2560, 65536)) < 0)
        return err;
    return 0;
}

SND_PCM_PLUGIN_DEFINE_FUNC(velantis_paced) {
    snd_config_iterator_t i, next;
    paced_t* p = calloc(1, sizeof(*p));
    int err;
    if (!p) return -ENOMEM;
    p->speed = 1.0;
    p->timer_fd = -1;
    p->io.private_data = p;

    snd_config_for_each(i, next, conf) {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id;
        if (snd_config_get_id(n, &id) < 0) continue;
        if (!strcmp(id, "comment") || !strcmp(id, "type") || !strcmp(id, "hint")) continue;
        char** text = !strcmp(id, "infile")    ? &p->infile
                      : !strcmp(id, "outfile") ? &p->outfile
                      : !strcmp(id, "control") ? &p->control
                                               : NULL;
        err = text ? read_text(n, text) : !strcmp(id, "speed") ? read_speed(n, &p->speed) : -EINVAL;
        if (err < 0) {
            SNDERR("velantis_paced: bad field %s", id);
            goto fail;
        }
    }

    /* An unplugged card cannot be opened; a handle opened now dies at the next unplug. */
    control_t c = read_control(p->control, stream);
    if (c.away) {
        err = -ENODEV;
        goto fail;
    }
    p->unplugs_at_open = c.unplugs;

    if (stream == SND_PCM_STREAM_CAPTURE && p->infile && *p->infile) {
        p->in = fopen(p->infile, "rb");
        if (!p->in) {
            err = -errno;
            SNDERR("velantis_paced: cannot open infile %s: %s", p->infile, strerror(errno));
            goto fail;
        }
    }

    p->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (p->timer_fd < 0) {
        err = -errno;
        goto fail;
    }

    p->io.version = SND_PCM_IOPLUG_VERSION;
    p->io.name = "Velantis paced test device";
    p->io.flags = SND_PCM_IOPLUG_FLAG_MONOTONIC;
    p->io.poll_fd = p->timer_fd;
    p->io.poll_events = POLLIN;
    p->io.mmap_rw = 0;
    p->io.callback = &paced_callbacks;

    err = snd_pcm_ioplug_create(&p->io, name, stream, mode);
    if (err < 0) goto fail;
    err = set_constraints(&p->io);
    if (err < 0) {
        snd_pcm_ioplug_delete(&p->io);
        return err;
    }
    *pcmp = p->io.pcm;
    return 0;

fail:
    paced_close(&p->io);
    return err;
}

SND_PCM_PLUGIN_SYMBOL(velantis_paced)
