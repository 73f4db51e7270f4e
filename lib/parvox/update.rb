class Parvox
  class << self
    # call-seq:
    #   Parvox.update(path, password = nil, level: 6, comment: nil) { |zip| ... } -> the block's value
    #
    # Changes the archive at `path` (a String or Pathname; an IO cannot be
    # changed in place) as the block asks: add_file, add_data and write_entry
    # add entries (replacing any of the same name), delete and rename take
    # entries out or give them another name, `comment =` sets the archive's
    # comment (as `comment:` does). The reading methods see the archive as it
    # was opened. The entries that stay are copied as they stand, never
    # recompressed (an encrypted one needs no password); new ones are
    # encrypted with `password` when given.
    #
    # The new archive is written beside the old one and renamed over it once
    # it is whole and on the disk: the path holds the old archive or the new
    # one, whole, whatever happens. When update returns, the new one is in
    # place; when the block raises or breaks, or update raises, the old one
    # is there as it was.
    def update(path, password = nil, **options)
      raise ArgumentError, "Parvox.update takes a block, which makes the changes" unless block_given?
      path = updatable_path(path)
      # Taken first: an archive put in its place after it was read is told apart.
      fingerprint = send(:archive_fingerprint, path)
      updater = Updater.send(:new, path, open(path, password), fingerprint, password, options)
      completed = false
      begin
        value = yield updater
        completed = true
        value
      ensure
        updater.send(:finish, completed)
      end
    end

    private

    def updatable_path(path)
      path = path.to_path if path.respond_to?(:to_path) && !path.is_a?(IO)
      return path if path.is_a?(String)
      raise ArgumentError, "Parvox.update needs the archive's path, not #{path.class}: the new " \
                           "archive is written beside the old one and renamed over it"
    end
  end

  # What Parvox.update's block is given: the archive being changed.
  class Updater
    include Enumerable

    # The reading methods, on the archive as it was opened.
    %i[entries each_entry [] read open_entry unzip_file unzip_all comment].each do |method|
      define_method(method) do |*args, &block|
        check_open
        @original.public_send(method, *args, &block)
      end
      ruby2_keywords(method)
    end

    def each(&block)
      return enum_for(:each) unless block
      each_entry(&block)
    end

    # The writing methods, as Parvox's: a name already in the archive is
    # replaced.
    %i[add_file add_data write_entry].each do |method|
      define_method(method) do |*args, &block|
        check_open
        adding { |added| added.public_send(method, *args, &block) }
      end
      ruby2_keywords(method)
    end

    # call-seq: delete(name) -> nil
    #
    # Takes the entry `name` out; EntryNotFoundError when there is none.
    def delete(name)
      check_open
      item = item_named!(name)
      @items.delete(item)
      @changed = true
      nil
    end

    # call-seq: rename(from, to) -> nil
    #
    # Gives the entry `from` the name `to`, keeping its data as it is (a
    # folder entry alone: the entries beneath it keep their names).
    # EntryNotFoundError when there is no entry `from`, InvalidNameError when
    # `to` cannot be stored or another entry has it.
    def rename(from, to)
      check_open
      item = item_named!(from)
      folder = item.name.end_with?("/")
      to = to.to_s if to.is_a?(Symbol)
      stored, refusal = Parvox.send(:stored_name, to, folder)
      raise InvalidNameError.new(refusal, entry: to, kind: :invalid_name) if refusal
      other = item_named(stored)
      if other && !other.equal?(item)
        raise InvalidNameError.new("an entry '#{stored}' is already in the archive", entry: to,
                                                                                     kind: :invalid_name)
      end
      item.name = stored
      item.renamed = true
      @changed = true
      nil
    end

    # call-seq: comment = text
    def comment=(text)
      check_open
      @comment = text.to_str.encode(Encoding::UTF_8)
      @changed = true
    end

    def inspect
      "#<Parvox::Updater #{@path}>"
    end

    private

    Item = Struct.new(:added, :position, :name, :renamed)
    private_constant :Item

    def initialize(path, original, fingerprint, password, options)
      @path = path
      @fingerprint = fingerprint
      @original = original
      @password = password
      @options = options.dup
      @comment = @options.delete(:comment)
      @changed = !@comment.nil?
      @process = Process.pid
      @count = 0
      @items = original.entries.map do |entry|
        @count += 1
        Item.new(false, @count - 1, entry.name, false)
      end
      @added = @added_path = nil
      @added_count = 0
      @open = true
    end

    def check_open
      raise Error.new("the update is over: its block has ended", kind: :other) unless @open
    end

    def item_named(stored)
      @items.find { |item| item.name == stored }
    end

    def item_named!(name)
      raise TypeError, "no implicit conversion of #{name.class} into String" unless name.is_a?(String)
      stored, = Parvox.send(:stored_name, name, false) unless name.include?("\0")
      item = stored && (item_named(stored) || (stored.end_with?("/") ? nil : item_named("#{stored}/")))
      return item if item
      raise EntryNotFoundError.new("no entry '#{name}' in the archive", entry: name, kind: :no_entry)
    end

    # Entries are added into an archive of their own beside the one changed,
    # and copied from there at the end; each replaces an entry of its name.
    def adding
      @added ||= begin
        @added_path = added_path
        Parvox.create(@added_path, @password, **@options).tap { File.chmod(0o600, @added_path) }
      end
      yield @added
    ensure
      note_added if @added
    end

    def added_path
      folder = File.dirname(File.realpath(@path))
      File.join(folder, ".#{File.basename(@path)}.#{Process.pid}-#{rand(1 << 48).to_s(36)}.added")
    end

    def note_added
      names = @added.send(:names_written_since, @added_count)
      names.each_with_index do |name, index|
        @items.delete_if { |item| item.name == name }
        @items << Item.new(true, @added_count + index, name, false)
      end
      @added_count += names.size
      @changed ||= !names.empty?
    end

    # Puts the new archive in place when the block `completed`; in any case
    # lets go of both archives and removes the one of added entries. A
    # process forked inside the block leaves all of it to its parent.
    def finish(completed)
      @open = false
      return unless Process.pid == @process
      begin
        apply if completed && @changed
      ensure
        release
      end
    end

    def apply
      @added&.close
      @original.close
      added = @added_count.positive? ? @added_path : nil
      plan = @items.map { |item| [item.added, item.position, item.renamed ? item.name : nil] }
      failure = Parvox.send(:apply_update, @path, @count, @fingerprint, added, plan, @comment)
      raise Parvox.send(:error_for, *failure) if failure
    end

    # Interrupts wait until nothing is left behind.
    def release
      Thread.handle_interrupt(Object => :never) do
        [@added, @original].each do |zip|
          zip&.close
        rescue Error
          nil
        end
        File.unlink(@added_path) if @added_path && File.exist?(@added_path)
      end
    end
  end
end
