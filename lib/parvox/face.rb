require_relative "error"
require_relative "entry_writer"
require_relative "update"

# The Ruby-shaped face of Parvox, beside the methods that answer false or nil
# with a reason in last_error: block forms that close, Parvox.open and
# Parvox.create whose instances raise, an optional password, add_file with
# keywords, and Enumerable over the entries.
class Parvox
  include Enumerable

  class << self
    alias_method :new_archive, :new
    alias_method :load_archive, :load
    private :new_archive, :load_archive

    # call-seq:
    #   Parvox.new(target, password = nil, level: 6, comment: nil) -> parvox or nil
    #   Parvox.new(target, password = nil, ...) { |zip| ... } -> the block's value
    #
    # With a block, the archive is closed when the block ends.
    def new(target, password = nil, **options, &block)
      within(new_archive(target, password || "", **options), &block)
    end

    # call-seq:
    #   Parvox.load(source, password = nil) -> parvox or nil
    #   Parvox.load(source, password = nil) { |zip| ... } -> the block's value
    def load(source, password = nil, **options, &block)
      within(load_archive(source, password || "", **options), &block)
    end

    # call-seq:
    #   Parvox.open(source, password = nil) -> parvox
    #   Parvox.open(source, password = nil) { |zip| ... } -> the block's value
    #
    # Opens the archive at `source` (a path, a Pathname or an IO) for reading.
    # The instance raises a Parvox::Error where #load's answers false or nil;
    # so does open itself.
    def open(source, password = nil, **options, &block)
      zip = load_archive(source, password || "", **options)
      raise error_for(*last_failure) unless zip
      within(zip.extend(Raising), &block)
    end

    # call-seq:
    #   Parvox.create(target, password = nil, level: 6, comment: nil) -> parvox
    #   Parvox.create(target, password = nil, ...) { |zip| ... } -> the block's value
    #
    # Starts a new archive at `target` (a path, a Pathname or an IO), as #new
    # does; the instance raises a Parvox::Error where #new's answers false.
    def create(target, password = nil, **options, &block)
      zip = new_archive(target, password || "", **options)
      raise error_for(*last_failure) unless zip
      within(zip.extend(Raising), &block)
    end

    private

    # `zip` itself without a block (or without an archive); with one, the
    # block's value, `zip` closed however the block ends. An exception from
    # the block goes on whatever close meets; otherwise close's own does.
    # (Not told by $!, which an enclosing rescue clause sets as well.)
    def within(zip)
      return zip unless zip && block_given?
      raised = false
      begin
        yield zip
      rescue Exception
        raised = true
        raise
      ensure
        raised ? close_after_raise(zip) : zip.close
      end
    end

    def close_after_raise(zip)
      zip.close
    rescue Parvox::Error
      nil
    end
  end

  alias_method :add_file_natively, :add_file
  private :add_file_natively

  # call-seq:
  #   add_file(source, name = File.basename(source), recursive: true, hidden: false, exclude: [],
  #            level: nil, mtime: nil, comment: nil) { |entry, done, total| } -> true or false
  #   add_file(source, name, folder, recursive) { |entry, done, total| } -> true or false
  #
  # With keywords, `source` is added as what it is: a folder with its files
  # (and with `recursive`, its sub-folders), leaving out hidden items unless
  # `hidden` and what `exclude`'s File.fnmatch patterns match below it; or a
  # file. The four positional arguments add as they always have.
  def add_file(source, name = nil, *switches, **options, &block)
    if switches.size == 2
      return add_file_natively(source, name, *switches, **options, &block) unless options.empty?
      return add_file_natively(source, name, *switches, &block)
    end
    raise ArgumentError, "add_file takes a folder switch and a recursive switch, or neither" unless switches.empty?
    options = { recursive: true, hidden: false }.merge(options)
    path = Parvox.send(:checkable_path, source)
    folder = path ? File.directory?(path) : false
    name ||= path ? File.basename(path) : source.to_s
    add_file_natively(source, name, folder, options.delete(:recursive) ? true : false, **options, &block)
  end

  # `source` as a String path that File's methods take, or nil: not a path
  # (the call raises TypeError), or one holding NUL (the call refuses it).
  def self.checkable_path(source)
    path = source.respond_to?(:to_path) ? source.to_path : source
    path if path.is_a?(String) && !path.include?("\0")
  end
  private_class_method :checkable_path

  # call-seq: each { |entry| } -> parvox or nil; each -> Enumerator
  #
  # Each Parvox::Entry in archive order, as each_entry.
  def each(&block)
    return enum_for(:each) unless block
    each_entry(&block)
  end

  # call-seq:
  #   open_entry(name) -> Parvox::EntryReader or nil
  #   open_entry(name) { |entry_io| ... } -> the block's value, or nil
  #
  # The entry's data as an IO that decodes it as it is read. With a block,
  # the reader is closed when the block ends. Nil, with the reason in
  # last_error, when the entry cannot be read; the block is then not called.
  def open_entry(name)
    entry_io = open_entry_reader(name) or return entry_not_opened(name)
    return entry_io unless block_given?
    begin
      yield entry_io
    ensure
      entry_io.close
    end
  end

  private

  def entry_not_opened(_name)
    nil
  end

  # Raised by an EntryReader of this archive whose data failed its checks.
  def entry_read_failed(_kind, reason, _name)
    raise IOError, reason
  end

  public

  # What instances made by Parvox.open and Parvox.create answer: a failure
  # raises the Parvox::Error of its kind, with last_error as its message.
  module Raising
    # Methods that answer false or nil only when they failed, and the place
    # of the entry name among their arguments.
    NAMED = { add_file: 1, add_data: 1, write_entry: 0, unzip_file: 0, read: 0, unzip_all: nil,
              entries: nil, each_entry: nil, comment: nil }.freeze

    NAMED.each do |method, entry_at|
      define_method(method) do |*args, &block|
        refuse_no_folder(args) if method == :add_file
        answer = super(*args, &block)
        return answer unless answer.nil? || answer == false
        raise Parvox.send(:error_for, *last_failure, entry_at && args[entry_at])
      end
      ruby2_keywords(method)
    end

    # call-seq: close -> nil
    def close
      return nil unless super == false
      raise Parvox.send(:error_for, *last_failure)
    end

    private

    def entry_not_opened(name)
      raise Parvox.send(:error_for, *last_failure, name)
    end

    def entry_read_failed(kind, reason, name)
      raise Parvox.send(:error_for, kind, reason, name)
    end

    # add_file's positional form with `folder` true raises where `source` is
    # no folder, where the other face adds it as an entry of its own.
    # Arguments the call refuses anyway are left to it.
    def refuse_no_folder(args)
      keywords = args.last.is_a?(Hash) # no positional argument is one
      source, name, folder, *rest = keywords ? args[0...-1] : args
      path = Parvox.send(:checkable_path, source)
      return unless rest.size == 1 && folder == true && name.is_a?(String) && path && !File.directory?(path)
      raise ReadError.new("'#{path}' is no folder", entry: name, kind: :read_failed)
    end
  end
  private_constant :Raising
end
