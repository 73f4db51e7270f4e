require_relative "helper"

# Every ```ruby block of the README and docs/*.md runs, so an example gone wrong
# fails the suite: a page's blocks one after the other in a child Ruby, each in
# a fresh folder holding the files the examples name, beside stand-ins for what
# they take from a Rails app. <!-- example: skip (why) --> on the line before a
# block keeps it from running.
class TestExamples < ParvoxTest
  ROOT = File.expand_path("..", __dir__)
  PAGES = ["README.md", *Dir.children(File.join(ROOT, "docs")).sort.map { |name| "docs/#{name}" }]
          .select { |page| File.read(File.join(ROOT, page), encoding: "UTF-8").match?(/^```ruby$/) }

  CHILD = <<~'RUBY'.freeze
    %w[fileutils json pathname stringio time].each { |library| require library }
    fixtures = File.join(here = File.dirname(ARGV[0]), "fixtures")
    { "site/index.html" => "<h1>Home</h1>\n" * 40, "site/about/team.html" => "<p>Us</p>\n", "site/app.js.map" => "{}",
      "site/video.mp4" => Random.new(1).bytes(300_000), "site/logs/x.log" => "GET /\n", "site/.git/HEAD" => "main\n",
      "site/node_modules/x.js" => "1;\n", "config.yml" => "port: 80\n", "data/a.bin" => "\0" * 99_999,
      "manifest.json" => "{}", "public/robots.txt" => "User-agent: *\n", "storage/exports/7/orders.csv" => "id\n1\n" }
      .each { |name, bytes| FileUtils.mkdir_p(File.dirname(file = File.join(fixtures, name))) && File.binwrite(file, bytes) }
    Dir.chdir(fixtures) do
      { "backup.zip" => [nil, %w[site config.yml]], "archive.zip" => [nil, %w[manifest.json site]],
        "private.zip" => ["correct horse battery staple", %w[site]] }.each do |archive, (password, sources)|
        zip = Parvox.new(archive, password)
        sources.each { |source| zip.add_file(source, source, File.directory?(source), true) or raise zip.last_error }
        zip.close
      end
    end
    def report_csv; "day,orders\n2024-05-01,3\n"; end
    def page; "<h1>About</h1>\n"; end
    Upload = Struct.new(:tempfile) { def read; tempfile.read; end }
    def params; { archive: Upload.new(File.open("archive.zip", "rb")), password: "" }; end
    User = Struct.new(:id) { def to_json(*) JSON.generate(id: id) end }
    def current_user; User.new(7); end
    Order = Struct.new(:id, :placed_at, :total) { def self.find_each; 3.times { |i| yield new(i, Time.at(i), i * 9.5) } end }
    module Rails; def self.root; Pathname.pwd; end; end
    module ActionController; module Live; end; end
    CONTROLLERS = []
    class ApplicationController
      def self.inherited(controller); CONTROLLERS << controller; super; end
      def logger; Object.new.tap { |log| def log.warn(text) String(text.to_str) end }; end # nil has no to_str
      # ActionController::Live's: the block writes the response, here a StringIO read back after.
      def send_stream(filename:, type:)
        stream = StringIO.new("".b)
        yield stream
        Parvox.load(StringIO.new(stream.string)) { |zip| zip.count }.to_i.positive? or raise "#{filename}: no #{type}"
      end
    end
    def example_binding; binding; end
    blocks = JSON.parse(File.read(ARGV[0], encoding: "UTF-8"))
    blocks.each_with_index do |(page, line, code), n|
      FileUtils.cp_r(fixtures, scratch = File.join(here, "example-#{n}"))
      Dir.chdir(scratch) do
        eval(code, example_binding, page, line)
        while (controller = CONTROLLERS.shift)
          controller.public_instance_methods(false).each { |action| controller.new.public_send(action) }
        end
      end
    end
    puts "\n#{blocks.size} examples ran"
  RUBY

  # The page's Ruby blocks not marked to skip: [page, line of the first line of code, code].
  def examples(page)
    lines = File.readlines(File.join(ROOT, page), encoding: "UTF-8")
    lines.each_index.select { |i| lines[i].chomp == "```ruby" && !lines[i - 1].start_with?("<!-- example: skip") }
         .map { |i| [page, i + 2, lines[(i + 1)...(i + 1..).find { |j| lines[j].start_with?("```") }].join] }
  end

  PAGES.each do |page|
    define_method("test_the_examples_of_#{page.tr('/.', '__')}_run") do
      blocks = examples(page)
      refute_empty blocks, "#{page}: every Ruby block is marked to skip"
      File.write(path("blocks.json"), JSON.generate(blocks))
      output, status = ruby_child(CHILD, path("blocks.json"), deadline: 120)
      assert status.success?, "#{page}: #{output}"
      assert_includes output, "#{blocks.size} examples ran"
    end
  end
end
