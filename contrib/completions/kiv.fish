# fish completion for kiv(1)

# Prints the command word (skipping any --socket PATH before it) and how many
# arguments follow it on the command line so far; fails before the command.
function __kiv_command
    set -l tokens (commandline -opc)
    set -l i 2
    while test $i -le (count $tokens)
        if test "$tokens[$i]" = --socket
            set i (math $i + 2)
            continue
        end
        echo $tokens[$i]
        math (count $tokens) - $i
        return 0
    end
    return 1
end

function __kiv_after_socket
    set -l tokens (commandline -opc)
    test "$tokens[-1]" = --socket
end

function __kiv_needs_command
    not __kiv_after_socket; and not __kiv_command >/dev/null
end

# True when the command is one of the arguments and its first argument is
# being typed.
function __kiv_first_argument_of
    set -l found (__kiv_command); or return 1
    test "$found[2]" = 0; and contains -- $found[1] $argv
end

# True while the file (or --theme) after set --output NAME is being typed.
function __kiv_set_output_path
    set -l found (__kiv_command); or return 1
    set -l tokens (commandline -opc)
    test "$found[1]" = set; and test "$found[2]" = 2; and test "$tokens[-2]" = --output
end

complete -c kiv -f
complete -c kiv -n __kiv_needs_command -l socket -r -d 'Talk to another daemon socket'
complete -c kiv -n __kiv_after_socket -F
complete -c kiv -n __kiv_needs_command -l version -d 'Show the version'
complete -c kiv -n __kiv_needs_command -l help -s h -d 'Show the usage text'

complete -c kiv -n __kiv_needs_command -a set -d 'Point the background link at a file'
complete -c kiv -n __kiv_needs_command -a next -d 'Run the theme\'s next-background program'
complete -c kiv -n __kiv_needs_command -a current -d 'Print the current background\'s file name'
complete -c kiv -n __kiv_needs_command -a refresh -d 'Re-read the background link now'
complete -c kiv -n __kiv_needs_command -a pause -d 'Pause the animation'
complete -c kiv -n __kiv_needs_command -a resume -d 'Clear the manual pause'
complete -c kiv -n __kiv_needs_command -a always-animate -d 'Animate regardless of the policy'
complete -c kiv -n __kiv_needs_command -a intro -d 'Play a one-shot intro video and wait'
complete -c kiv -n __kiv_needs_command -a status -d 'Daemon status as JSON'
complete -c kiv -n __kiv_needs_command -a config -d 'Configuration in force as JSON'
complete -c kiv -n __kiv_needs_command -a outputs -d 'Every output and what it shows, as JSON'
complete -c kiv -n __kiv_needs_command -a render-status -d 'Renderer status as JSON'
complete -c kiv -n __kiv_needs_command -a render -d 'Send a raw JSON command to the renderer'
complete -c kiv -n __kiv_needs_command -a reload-config -d 'Reload config.toml'
complete -c kiv -n __kiv_needs_command -a render-restart -d 'Restart the renderer'
complete -c kiv -n __kiv_needs_command -a raw -d 'Send raw JSON to the daemon'
complete -c kiv -n __kiv_needs_command -a shutdown -d 'Stop the daemon'
complete -c kiv -n __kiv_needs_command -a help -d 'Show the usage text'

complete -c kiv -n '__kiv_first_argument_of set intro' -F
complete -c kiv -n '__kiv_first_argument_of set' -a --output -d 'Show the file on one output only'
complete -c kiv -n __kiv_set_output_path -F
complete -c kiv -n __kiv_set_output_path -a --theme -d 'The output shows the theme background again'
complete -c kiv -n '__kiv_first_argument_of always-animate' -a 'on off'
